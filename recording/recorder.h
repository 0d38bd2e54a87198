#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "recording/circular_fifo.h"
#include "recording/lock_sem.h"
#include "recording/rate_converter.h"
#include "recording/record_encoder.h"

namespace quavelink {

class WorkerThread;

//! Blocks the record queue holds at most: about 35 s of audio at 48000 Hz.
constexpr std::uint32_t kRecordQueueEntries = 5000;

//! How often the record thread writes out what the capture thread queued.
constexpr std::chrono::milliseconds kRecordWakeInterval{200};

//! Takes the audio that the capture thread queues and writes it into the current record target
//! on its own low-priority thread, so that the capture thread never waits for the disk. The
//! target (which file, WAV or MP3, at what rate) and everything done with the file are guarded
//! by the recorder's recordLock; the queue itself needs no lock.
class Recorder {
  public:
    using EncoderFactory = std::function<std::unique_ptr<RecordEncoder>(bool mp3)>;

    //! `recordLock` guards the target and the file; `boxes` shows the user-facing errors. Both
    //! must outlive the recorder.
    Recorder(LockSem& recordLock, MessageBoxHost& boxes,
             EncoderFactory makeEncoder = makeRecordEncoder);

    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    //! Capture thread (any thread). Whether a record target is set. Never blocks.
    bool isRecording() const;

    //! Capture thread, the only producer. Queues `length` bytes of PCM from `data`, captured at
    //! `sampleRate` (0: at the recording's rate); takes ownership by moving from `data` only when
    //! it returns true. Returns false, leaving `data` to the caller, when the queue is full or
    //! the block is unusable. Never blocks. A recording keeps the rate it started with: blocks
    //! at another (the capture came back on a device running at it) are converted to it.
    bool pushRecordBlock(std::unique_ptr<std::uint8_t[]>& data, std::int32_t length,
                         std::int32_t sampleRate = 0);

    //! Window thread. Starts recording into `fd` (opened for writing by the caller, which keeps
    //! it open until the target is replaced) when `fd` is not -1, and stops with ("", -1, 0,
    //! false, 0). Whatever was recorded before is written out and its file finished first, on
    //! the calling thread, so the caller may close the old descriptor once this returns.
    //! `sampleRate` 48000 or 44100; `kbps` the MP3 bit rate, 0 for VBR. Waits for recordLock.
    void setRecordTarget(const std::string& path, int fd, std::int32_t sampleRate, bool mp3,
                         std::int32_t kbps);

    //! Body of the record thread: lowers its own priority, then every kRecordWakeInterval writes
    //! the queued blocks into the current target. Returns only after requestExit.
    void runRecordThread();

    //! Any thread. Makes runRecordThread return at its next wake-up (at once if asleep).
    void requestExit();

    //! Any thread. Whether a step of the recording started last failed (a full disk, most
    //! often), so that its file lacks audio or a proper header.
    bool recordingFailed() const { return failed.load(std::memory_order_acquire); }

  private:
    using Reports = std::vector<std::string>;

    // All of these run with recordLock held.
    void wakeUp(Reports& reports);
    void startTarget(int fd, Reports& reports);
    void drainQueue(int fd, Reports& reports);
    void write(int fd, const FifoEntry& entry, Reports& reports);
    void finishTarget(int fd, Reports& reports);
    void discardQueue();
    void note(EncoderStatus status, Reports& reports);

    void showOutsideLock(const Reports& reports);
    bool sleepUnlessExiting();

    LockSem& recordLock;
    MessageBoxHost& boxes;
    EncoderFactory makeEncoder;

    CircularFifo<FifoEntry, kRecordQueueEntries> recordQueue;

    // The record target, guarded by recordLock; targetFd is also read without it.
    std::string targetPath;
    std::atomic<int> targetFd{-1};
    std::int32_t targetRate = 0;
    bool targetMp3 = false;
    std::int32_t targetKbps = 0;

    // Guarded by recordLock. `started`: the current target has had its header written or its
    // encoder opened. `errorFlag`: a step failed, so nothing more goes into this target.
    bool started = false;
    std::unique_ptr<RecordEncoder> encoder;
    bool errorFlag = false;
    std::atomic<bool> failed{false};
    // Guarded by recordLock: blocks at another rate than the file's, and the rate they come at
    // (0 while they come at the file's).
    RateConverter converter;
    std::int32_t convertingFrom = 0;
    std::vector<std::int16_t> converted;

    std::mutex sleepMutex;
    std::condition_variable sleepWake;
    bool exitRequested = false;  // guarded by sleepMutex
};

//! Stack of the record thread. The MP3 encoder runs on it, and libmp3lame overflows the
//! 32768-byte stack of the other workers on its first frame; 64 KiB was seen to suffice.
constexpr std::size_t kRecordThreadStackBytes = 256 * 1024;

//! Starts the record thread of `recorder` on `thread` with a kRecordThreadStackBytes stack;
//! stopping `thread` makes it return (requestExit). Returns false when the thread could not be
//! created (the caller tells the user).
bool startRecordThread(Recorder& recorder, WorkerThread& thread);

}  // namespace quavelink
