#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quavelink {

//! The capture engine's three events: shutdown and switch (auto-reset) and new-device (manual
//! reset, initially set). Any thread; setting never blocks for long.
class CaptureEvents {
  public:
    enum class Wake { Shutdown, Switch, Timeout };

    void signalShutdown() { set(shutdown); }
    void signalSwitch() { set(switchRequest); }
    void signalNewDevice() { set(newDevice); }
    void resetNewDevice() {
        std::lock_guard lock(mutex);
        newDevice = false;
    }

    //! Waits for shutdown or switch (shutdown first when both are set), consuming the one
    //! returned, or until `timeout` passes.
    Wake waitShutdownOrSwitch(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, timeout, [&] { return shutdown || switchRequest; });
        if (shutdown) {
            shutdown = false;
            return Wake::Shutdown;
        }
        if (switchRequest) {
            switchRequest = false;
            return Wake::Switch;
        }
        return Wake::Timeout;
    }

    //! Waits up to `timeout` for the new-device event without resetting it; false on time-out.
    bool waitNewDevice(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, timeout, [&] { return newDevice; });
    }

  private:
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
