#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "client/playout/frame_ring.h"
#include "client/wav_file.h"

namespace quavelink {

//! The path of the WAV file number `fileIndex` (0 first) at `rate`: `path` itself first, then
//! "NAME-2-RATE.EXT" and so on, as a WAV file holds one rate.
std::string wavPathForRate(const std::string& path, int rate, int fileIndex);

//! Writes what is received to WAV files (a new one at each change of rate) on a thread of its
//! own, so that a slow or stuck disk never holds up the network thread: frames wait in a ring
//! of about 20 s; what does not fit is lost, counted and told once. After a failed write
//! nothing more is written.
class WavRecorder {
  public:
    //! `report(text)`: a line for the user, called on the recorder's thread.
    WavRecorder(std::string path, std::function<void(const std::string&)> report);
    //! As `finish`.
    ~WavRecorder();
    WavRecorder(const WavRecorder&) = delete;
    WavRecorder& operator=(const WavRecorder&) = delete;

    //! Network thread; never waits. Queues `frames` interleaved stereo frames at `rate`.
    void push(const std::int16_t* samples, std::size_t frames, int rate);
    //! Writes what waits, closes the file and ends the thread. Network thread.
    void finish();

    //! Frames that found the ring full. Any thread.
    std::uint64_t lostFrames() const { return lost.load(std::memory_order_relaxed); }

  private:
    void run();
    void writeWaiting();

    std::string path;
    std::function<void(const std::string&)> report;
    FrameRing ring;
    std::atomic<std::uint64_t> lost{0};
    std::atomic<bool> finishing{false};
    std::mutex mutex;  // for the pauses between looks at the ring only
    std::condition_variable wake;
    // Recorder thread only.
    WavFile file;
    int files = 0;
    bool failed = false;
    bool lossTold = false;
    std::thread thread;
};

}  // namespace quavelink
