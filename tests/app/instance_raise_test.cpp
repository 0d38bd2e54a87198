#include "app/instance_raise.h"

#include <gtest/gtest.h>

#include <fstream>

#include "window_test_helpers.h"

namespace quavelink {
namespace {

TEST(InstanceRaise, ASecondStartReachesTheRunningCopyEvenOverASocketFileLeftByACrash) {
    // Nobody listens: the second start says so and goes on to its message box.
    std::ofstream(InstanceRaiseListener::socketPath()) << "left by a crashed copy";
    EXPECT_FALSE(askRunningInstanceToRaise(std::chrono::milliseconds(200)));

    int raised = 0;
    InstanceRaiseListener listener([&raised] { ++raised; });
    ASSERT_TRUE(listener.listen());
    EXPECT_TRUE(askRunningInstanceToRaise());
    EXPECT_TRUE(test::runUntil([&] { return raised == 1; }));
    EXPECT_TRUE(askRunningInstanceToRaise());
    EXPECT_TRUE(test::runUntil([&] { return raised == 2; }));
}

}  // namespace
}  // namespace quavelink
