#include "app/instance_raise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "window_test_helpers.h"

namespace quavelink {
namespace {

// The second start asks from a thread of its own, as it would from its own process.
bool askInBackground(const std::string& token) {
    std::atomic<int> answer{-1};
    std::thread asker([&] { answer = askRunningInstanceToRaise(token) ? 1 : 0; });
    test::runUntil([&] { return answer != -1; });
    asker.join();
    return answer == 1;
}

TEST(InstanceRaise, ASecondStartHandsItsTokenOnAndHearsWhetherTheWindowCameUp) {
    // Nobody listens: the second start says so and goes on to its message box.
    std::ofstream(InstanceRaiseListener::socketPath()) << "left by a crashed copy";
    EXPECT_FALSE(askRunningInstanceToRaise({}, std::chrono::milliseconds(200)));

    std::vector<std::string> tokens;
    bool shown = true;
    InstanceRaiseListener listener([&](const std::string& token) {
        tokens.push_back(token);
        return shown;
    });
    ASSERT_TRUE(listener.listen());
    EXPECT_TRUE(askInBackground("kwin-1234_TIME5"));
    shown = false;
    EXPECT_FALSE(askInBackground(""));
    EXPECT_FALSE(askInBackground("not a token"));
    EXPECT_EQ(tokens, (std::vector<std::string>{"kwin-1234_TIME5", "", ""}));
}

}  // namespace
}  // namespace quavelink
