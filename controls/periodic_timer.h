#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quavelink {

//! A thread that calls a function at a fixed period until stopped. Ticks that fall behind are
//! skipped, not queued.
class PeriodicTimer {
  public:
    //! Starts the thread at once; the first call comes one period from now.
    PeriodicTimer(std::chrono::milliseconds period, std::function<void()> onTick);
    //! Stops and joins (see Stop).
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    //! Waits for a running tick to finish and ends the thread. Any thread; from inside a tick
    //! it only asks the thread to end (the destructor must then run on another thread).
    void Stop();

    std::chrono::milliseconds period() const { return period_; }

  private:
    void Run();

    const std::chrono::milliseconds period_;
    std::function<void()> onTick_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quavelink
