#include "recording/recorder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

#include "platform/log.h"
#include "platform/thread.h"
#include "recording/lock_sem.h"

namespace quavelink {
namespace {

// Nice value of the lowest thread priority.
constexpr int kLowestPriorityNice = 19;

}  // namespace

Recorder::Recorder(LockSem& recordLock, MessageBoxHost& boxes, EncoderFactory makeEncoder)
    : recordLock(recordLock), boxes(boxes), makeEncoder(std::move(makeEncoder)) {}

bool Recorder::isRecording() const { return targetFd.load(std::memory_order_acquire) != -1; }

bool Recorder::pushRecordBlock(std::unique_ptr<std::uint8_t[]>& data, std::int32_t length,
                               std::int32_t sampleRate) {
    if (!data || length <= 0) return false;
    FifoEntry entry{std::move(data), length, sampleRate};
    if (recordQueue.push(entry)) return true;
    data = std::move(entry.data);
    return false;
}

void Recorder::setRecordTarget(const std::string& path, int fd, std::int32_t sampleRate, bool mp3,
                               std::int32_t kbps) {
    Reports reports;
    {
        std::lock_guard lock(recordLock);
        int oldFd = targetFd.load(std::memory_order_relaxed);
        if (oldFd != -1) {
            // Telling the capture thread first bounds the drain below: from here on it queues
            // nothing more for this recording.
            targetFd.store(-1, std::memory_order_release);
            // A recording stopped before the record thread got to it still gets its header, and
            // the blocks queued since the last drain belong at the end of this file.
            if (!started) startTarget(oldFd, reports);
            drainQueue(oldFd, reports);
            finishTarget(oldFd, reports);
        }
        // Whatever is queued now came while no file was open, and belongs to no recording.
        if (fd != -1) {
            discardQueue();
            failed.store(false, std::memory_order_release);
        }
        targetPath = path;
        targetRate = sampleRate;
        targetMp3 = mp3;
        targetKbps = kbps;
        targetFd.store(fd, std::memory_order_release);
    }
    showOutsideLock(reports);
}

void Recorder::runRecordThread() {
    logLine("File record thread started\n");
    // Raising one's own nice value needs no privilege, and on Linux it applies to this thread
    // alone, so the disk work yields to the capture and window threads.
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kLowestPriorityNice) != 0) {
        boxes.ShowMessageBox("Error, could not set priority of file record thread");
    }
    while (sleepUnlessExiting()) {
        Reports reports;
        {
            std::lock_guard lock(recordLock);
            wakeUp(reports);
        }
        showOutsideLock(reports);
    }
}

void Recorder::requestExit() {
    {
        std::lock_guard lock(sleepMutex);
        exitRequested = true;
    }
    sleepWake.notify_all();
}

void Recorder::wakeUp(Reports& reports) {
    int fd = targetFd.load(std::memory_order_relaxed);
    if (fd == -1) {
        discardQueue();
        return;
    }
    if (!started) startTarget(fd, reports);
    drainQueue(fd, reports);
    // A recording cut short by a crash then still plays up to this wake-up.
    if (encoder && !errorFlag) encoder->checkpoint(fd);
}

void Recorder::startTarget(int fd, Reports& reports) {
    started = true;
    errorFlag = false;
    converter.reset();
    convertingFrom = 0;
    encoder = makeEncoder(targetMp3);
    if (!encoder) {
        errorFlag = true;
        failed.store(true, std::memory_order_release);
        return;
    }
    note(encoder->start(fd, targetRate, targetKbps), reports);
}

void Recorder::drainQueue(int fd, Reports& reports) {
    FifoEntry entry;
    while (recordQueue.pop(entry)) {
        if (!entry.data || entry.length <= 0) continue;
        if (!errorFlag) write(fd, entry, reports);
        entry.data.reset();
    }
}

void Recorder::write(int fd, const FifoEntry& entry, Reports& reports) {
    if (entry.sampleRate == 0 || entry.sampleRate == targetRate) {
        if (convertingFrom != 0) {
            logLine("The capture runs at the recording's %d Hz again\n", targetRate);
            converter.reset();
            convertingFrom = 0;
        }
        note(encoder->encode(fd, entry.data.get(), entry.length), reports);
        return;
    }
    if (convertingFrom != entry.sampleRate) {
        logLine("The capture runs at %d Hz now; the recording goes on at its %d Hz, converted\n",
                entry.sampleRate, targetRate);
        convertingFrom = entry.sampleRate;
    }
    converted.clear();
    // PCM blocks are whole frames of two 16-bit samples, in the machine's (little-endian) order.
    if (!converter.convert(reinterpret_cast<const std::int16_t*>(entry.data.get()),
                           static_cast<std::size_t>(entry.length) / 4, entry.sampleRate, targetRate,
                           converted)) {
        return;
    }
    if (converted.empty()) return;
    note(encoder->encode(fd, reinterpret_cast<const std::uint8_t*>(converted.data()),
                         static_cast<std::int32_t>(converted.size() * sizeof(std::int16_t))),
         reports);
}

void Recorder::finishTarget(int fd, Reports& reports) {
    if (encoder) note(encoder->finish(fd, targetPath), reports);
    encoder.reset();
    started = false;
}

void Recorder::discardQueue() {
    FifoEntry entry;
    while (recordQueue.pop(entry)) entry.data.reset();
}

void Recorder::note(EncoderStatus status, Reports& reports) {
    // Once a step fails nothing more is written, so each failure is reported once per file.
    if (!status.writable) errorFlag = true;
    if (status.reports.empty()) return;
    failed.store(true, std::memory_order_release);
    for (std::string& text : status.reports) {
        // The box keeps its words; the system's reason goes beside it, where a log is read.
        if (status.error != 0) {
            logErrorLine("%s (%s): %s\n", text.c_str(), targetPath.c_str(),
                         std::strerror(status.error));
        }
        reports.push_back(std::move(text));
    }
}

void Recorder::showOutsideLock(const Reports& reports) {
    // Called without recordLock, so that a window thread waiting for the lock can still serve
    // the box.
    for (const std::string& text : reports) boxes.ShowMessageBox(text);
}

bool Recorder::sleepUnlessExiting() {
    std::unique_lock lock(sleepMutex);
    return !sleepWake.wait_for(lock, kRecordWakeInterval, [this] { return exitRequested; });
}

bool startRecordThread(Recorder& recorder, WorkerThread& thread) {
    return thread.start(
        [&recorder](std::stop_token stop) {
            std::stop_callback exit(stop, [&recorder] { recorder.requestExit(); });
            recorder.runRecordThread();
        },
        kRecordThreadStackBytes);
}

}  // namespace quavelink
