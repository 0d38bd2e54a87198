#include "platform/hand_off.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quavelink {
namespace {

// Hands a pointer over the way Qt's event queue does as far as ThreadSanitizer can tell: the
// order is real (standalone fences), but the checker does not model fences, so without the
// HandOff's own release and acquire every access through the pointer would be reported.
template <typename T>
class UnseenSlot {
  public:
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
    void put(T* value) {
        std::atomic_thread_fence(std::memory_order_release);
        slot_.store(value, std::memory_order_relaxed);
    }
    T* take() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        T* value = nullptr;
        while ((value = slot_.exchange(nullptr, std::memory_order_relaxed)) == nullptr) {
            if (std::chrono::steady_clock::now() > deadline) return nullptr;
            std::this_thread::yield();
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        return value;
    }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  private:
    std::atomic<T*> slot_{nullptr};
};

TEST(HandOff, CallsTheWorkWithWhatItCapturedAndReturnsItsResult) {
    std::string name = "Kitchen radio";
    HandOff first([name] { return name + " 2"; });
    HandOff moved(std::move(first));
    HandOff copied(moved);
    EXPECT_EQ(moved(), "Kitchen radio 2");
    EXPECT_EQ(copied(), "Kitchen radio 2");
}

// The sender writes the captured values, the receiver runs the work, and the sender drops it
// afterwards: both directions of a queued call whose last reference the sender may hold.
TEST(HandOff, ASenderAndAReceiverShareTheWorkThroughAQueueTheCheckerCannotSee) {
    using Work = HandOff<std::function<void()>>;
    UnseenSlot<Work> toReceiver;
    UnseenSlot<Work> backToSender;
    std::vector<std::string> seen;
    std::thread sender([&] {
        for (int i = 0; i < 50; ++i) {
            std::vector<std::string> lines(3, "line " + std::to_string(i));
            toReceiver.put(
                new Work([&seen, lines] { seen.insert(seen.end(), lines.begin(), lines.end()); }));
            Work* done = backToSender.take();
            if (done == nullptr) return;
            delete done;
        }
    });
    for (int i = 0; i < 50; ++i) {
        Work* work = toReceiver.take();
        if (work == nullptr) {
            ADD_FAILURE() << "nothing handed over in time";
            break;
        }
        (*work)();
        backToSender.put(work);
    }
    sender.join();
    ASSERT_EQ(seen.size(), 150u);
    EXPECT_EQ(seen.front(), "line 0");
    EXPECT_EQ(seen.back(), "line 49");
}

}  // namespace
}  // namespace quavelink
