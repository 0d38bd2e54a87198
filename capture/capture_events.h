#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quavelink {

//! The capture engine's three events: shutdown and switch (auto-reset) and new-device (manual
//! reset, initially set). Any thread; setting never blocks for long.
class CaptureEvents {
  public:
    enum class Wake { Shutdown, Switch, Poll };

    void signalShutdown() { set(shutdown); }
    void signalSwitch() { set(switchRequest); }
    void signalNewDevice() { set(newDevice); }
    void resetNewDevice() {
        std::lock_guard lock(mutex);
        newDevice = false;
    }

    //! Waits for shutdown or switch (shutdown first when both are set), consuming the one
    //! returned, or until `timeout` passes (Poll).
    Wake waitShutdownOrSwitch(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, timeout, [&] { return shutdown || switchRequest; });
        return takeRequest();
    }

    //! Waits for shutdown or switch as above, or until `pollDue` holds (Poll), without a time
    //! limit. `pollDue` runs under this object's lock; whoever makes it true calls wakeUp.
    Wake waitShutdownSwitchOr(const std::function<bool()>& pollDue) {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return shutdown || switchRequest || pollDue(); });
        return takeRequest();
    }

    //! Has a waiter check its condition again. Any thread.
    void wakeUp() {
        { std::lock_guard lock(mutex); }
        wake.notify_all();
    }

    //! Waits up to `timeout` for the new-device event without resetting it; false on time-out.
    bool waitNewDevice(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, timeout, [&] { return newDevice; });
    }

  private:
    Wake takeRequest() {
        if (shutdown) {
            shutdown = false;
            return Wake::Shutdown;
        }
        if (switchRequest) {
            switchRequest = false;
            return Wake::Switch;
        }
        return Wake::Poll;
    }

    void set(bool& flag) {
        {
            std::lock_guard lock(mutex);
            flag = true;
        }
        wake.notify_all();
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool shutdown = false;
    bool switchRequest = false;
    bool newDevice = true;
};

}  // namespace quavelink
