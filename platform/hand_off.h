#pragma once

#include <atomic>
#include <utility>

namespace quavelink {

//! Work that one thread hands to another through a queue whose locking the thread checker
//! cannot see: Qt's queued calls lock with futexes inside a library built without it, so the
//! values a queued lambda captured look written by the sender and read by the receiver with
//! nothing in between. The queue already orders them; HandOff repeats that order where the
//! checker sees it. Moving the work in ends with a release; calling it begins with an acquire
//! and ends with a release; destroying it begins with an acquire, so whichever thread drops
//! the work last (the sender when the call finished first) sees everything the call did.
//! Every access of the work itself is still checked: only the queue's own ordering is stated.
template <typename Work>
class HandOff {
  public:
    explicit HandOff(Work work) : work_(std::move(work)) { release(); }
    HandOff(HandOff&& other) : work_((other.acquire(), std::move(other.work_))) { release(); }
    HandOff(const HandOff& other) : work_((other.acquire(), other.work_)) { release(); }
    HandOff& operator=(const HandOff&) = delete;
    ~HandOff() { acquire(); }

    decltype(auto) operator()() {
        acquire();
        struct ReleaseOnReturn {
            HandOff& handOff;
            ~ReleaseOnReturn() { handOff.release(); }
        } releaseOnReturn{*this};
        return work_();
    }

  private:
    void acquire() const { (void)turn_.load(std::memory_order_acquire); }
    void release() { turn_.fetch_add(1, std::memory_order_release); }

    Work work_;
    mutable std::atomic<unsigned> turn_{0};
};

}  // namespace quavelink
