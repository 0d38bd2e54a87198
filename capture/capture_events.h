#pragma once

#include <chrono>
#include <functional>
#include <mutex>

#include "platform/wake_event.h"

namespace quavelink {

//! The capture engine's events: shutdown and switch (auto-reset), new-device (manual reset,
//! initially set), and the stream's packet event, which the audio system sets from its own
//! (real-time) thread when a packet is there. Any thread; setting never blocks for long, and
//! setting the packet event never takes a lock.
class CaptureEvents {
  public:
    enum class Wake { Shutdown, Switch, Poll };

    void signalShutdown() { set(shutdown, wake); }
    void signalSwitch() { set(switchRequest, wake); }
    void signalNewDevice() { set(newDevice, newDeviceSet); }
    void resetNewDevice() {
        std::lock_guard lock(mutex);
        newDevice = false;
    }

    //! What the audio system sets when a packet is waiting.
    WakeEvent& packetEvent() { return wake; }

    //! Waits for shutdown or switch (shutdown first when both are set), consuming the one
    //! returned, or until a packet is signalled or `timeout` passes (Poll).
    Wake waitShutdownOrSwitch(std::chrono::milliseconds timeout) {
        if (Wake request = takeRequest(); request != Wake::Poll) return request;
        wake.wait(timeout);
        return takeRequest();
    }

    //! Waits for shutdown or switch as above, or until `pollDue` holds (Poll), without a time
    //! limit; packets alone do not end this wait. `pollDue` runs under this object's lock;
    //! whoever makes it true calls wakeUp.
    Wake waitShutdownSwitchOr(const std::function<bool()>& pollDue) {
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (shutdown || switchRequest || pollDue()) return takeRequestLocked();
            }
            wake.wait(std::chrono::milliseconds(-1));
        }
    }

    //! Has a waiter check its condition again. Any thread.
    void wakeUp() { wake.set(); }

    //! Waits up to `timeout` for the new-device event without resetting it; false on time-out.
    //! The capture thread, which is the only one waiting on it.
    bool waitNewDevice(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (newDevice) return true;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !newDeviceSet.wait(left)) {
                std::lock_guard lock(mutex);
                return newDevice;
            }
        }
    }

  private:
    Wake takeRequest() {
        std::lock_guard lock(mutex);
        return takeRequestLocked();
    }

    Wake takeRequestLocked() {
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

    void set(bool& flag, WakeEvent& waiter) {
        {
            std::lock_guard lock(mutex);
            flag = true;
        }
        waiter.set();
    }

    std::mutex mutex;
    WakeEvent wake;
    WakeEvent newDeviceSet;
    bool shutdown = false;
    bool switchRequest = false;
    bool newDevice = true;
};

}  // namespace quavelink
