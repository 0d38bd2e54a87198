#pragma once

#include <chrono>

namespace quavelink {

//! An auto-reset event that a real-time thread may set: setting it is one write to an eventfd,
//! with no lock and no allocation, so the sound server's data thread can wake a waiter without
//! waiting itself. One thread waits; any number set it.
class WakeEvent {
  public:
    //! Throws std::system_error when the system has no eventfd left.
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    //! Any thread, a real-time one included; never blocks.
    void set() noexcept;
    //! The waiting thread: waits until set or `timeout` has passed (negative: without a limit);
    //! whether it was set. Being set is consumed: the next wait waits again.
    bool wait(std::chrono::milliseconds timeout) noexcept;

  private:
    int fd;
};

}  // namespace quavelink
