#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

namespace quavelink {
namespace {

TEST(DetachedThread, RunsItsBodyOnASmallStack) {
    std::promise<int> ran;
    ASSERT_TRUE(startDetachedThread([&] { ran.set_value(42); }, kWorkerStackBytes));
    auto result = ran.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), 42);
}

// A body that waits on its token alone: stop has to wake it, and returns only once it ended.
TEST(WorkerThread, StopWakesTheBodyAndWaitsForItToEnd) {
    std::atomic<bool> ended{false};
    WorkerThread worker;
    auto body = [&](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        wake.wait(lock, stop, [] { return false; });
        ended = true;
    };
    ASSERT_TRUE(worker.start(body, kWorkerStackBytes));
    EXPECT_TRUE(worker.running());
    EXPECT_FALSE(worker.start(body, kWorkerStackBytes));  // one at a time
    worker.stop();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(worker.running());
    worker.stop();  // a second stop is harmless

    // Started again, it gets a fresh token that is not stopped already.
    ended = false;
    std::promise<bool> stoppedAtStart;
    ASSERT_TRUE(worker.start(
        [&](std::stop_token stop) {
            stoppedAtStart.set_value(stop.stop_requested());
            body(stop);
        },
        kWorkerStackBytes));
    EXPECT_FALSE(stoppedAtStart.get_future().get());
}

}  // namespace
}  // namespace quavelink
