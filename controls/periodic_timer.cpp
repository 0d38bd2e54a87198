#include "controls/periodic_timer.h"

namespace quavelink {

PeriodicTimer::PeriodicTimer(std::chrono::milliseconds period, std::function<void()> onTick)
    : period_(period.count() > 0 ? period : std::chrono::milliseconds(1)),
      onTick_(std::move(onTick)),
      thread_([this] { Run(); }) {}

PeriodicTimer::~PeriodicTimer() { Stop(); }

void PeriodicTimer::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // From inside a tick the thread can only be told to end; a later Stop or the destructor
    // on another thread joins it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void PeriodicTimer::Run() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + period_;
    std::unique_lock lock(mutex_);
    while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
        lock.unlock();
        onTick_();
        lock.lock();
        next += period_;
        const auto now = Clock::now();
        // A late thread (a busy machine, a suspended process) resumes the rhythm from now
        // instead of firing a burst of catch-up ticks.
        if (next <= now) next = now + period_;
    }
}

}  // namespace quavelink
