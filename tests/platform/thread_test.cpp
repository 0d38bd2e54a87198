#include "platform/thread.h"

#include <gtest/gtest.h>

#include <future>

namespace quavelink {
namespace {

TEST(DetachedThread, RunsItsBodyOnASmallStack) {
    std::promise<int> ran;
    ASSERT_TRUE(startDetachedThread([&] { ran.set_value(42); }, kWorkerStackBytes));
    auto result = ran.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), 42);
}

}  // namespace
}  // namespace quavelink
