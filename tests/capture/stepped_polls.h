#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "capture/capture_poll_source.h"

namespace quavelink::test {

//! A capture loop that polls only when the test steps it, so that a test can say "after the
//! ninth empty poll" as the server harness says "after the next block". Its clock moves on by the
//! loop's period with each poll.
class SteppedPolls : public CapturePollSource {
  public:
    CaptureEvents::Wake next(CaptureEvents& events, std::chrono::milliseconds period) override {
        {
            std::lock_guard lock(mutex);
            pollPeriod = period;
            waitingOn = &events;
            loopEnded = false;
        }
        CaptureEvents::Wake wake = events.waitShutdownSwitchOr([this] {
            std::lock_guard lock(mutex);
            return taken < allowed;
        });
        if (wake == CaptureEvents::Wake::Poll) {
            std::lock_guard lock(mutex);
            ++taken;
        }
        return wake;
    }
    void polled() override {
        std::lock_guard lock(mutex);
        ++done;
        changed.notify_all();
    }
    std::chrono::steady_clock::time_point now() override {
        std::lock_guard lock(mutex);
        return std::chrono::steady_clock::time_point{} + pollPeriod * taken;
    }
    void ended() override {
        std::lock_guard lock(mutex);
        waitingOn = nullptr;
        loopEnded = true;
        changed.notify_all();
    }

    //! Waits up to `limit` for the capture loop to end by itself; whether it did.
    bool waitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return loopEnded; });
    }

    //! Lets the loop poll `count` more times and waits until it has; false when it did not
    //! within `limit` (the loop ended, or is stuck).
    bool step(int count = 1, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        allowed += count;
        const long target = allowed;
        if (waitingOn != nullptr) {
            CaptureEvents* events = waitingOn;
            // `events` is the engine's, which only the test's own stop destroys. Woken without
            // this lock: the loop's condition takes it under the events' lock.
            lock.unlock();
            events->wakeUp();
            lock.lock();
        }
        return changed.wait_for(lock, limit, [&] { return done >= target; });
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    CaptureEvents* waitingOn = nullptr;
    bool loopEnded = false;
    std::chrono::milliseconds pollPeriod{0};
    long allowed = 0;
    long taken = 0;
    long done = 0;
};

}  // namespace quavelink::test
