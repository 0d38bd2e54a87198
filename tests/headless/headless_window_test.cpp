#include "headless/headless_window.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(ConnectionStatusText, NamesTheClientThatAskedForAudioLast) {
    std::string last;
    EXPECT_EQ(connectionStatusText(1, "", last), " Connected");
    EXPECT_EQ(connectionStatusText(2, "kitchen", last), " Connected to kitchen (2)");
    // The client that asked last leaves: the status still names it, now without a count.
    EXPECT_EQ(connectionStatusText(1, nullptr, last), " Connected to kitchen");
    // A connect clears the remembered name.
    EXPECT_EQ(connectionStatusText(2, "", last), " Connected (2)");
    EXPECT_EQ(connectionStatusText(3, nullptr, last), " Connected (3)");
    EXPECT_EQ(connectionStatusText(0, nullptr, last), " Disconnected");
    EXPECT_EQ(connectionStatusText(-1, "x", last), " Disconnected");
    EXPECT_TRUE(last.empty());
}

TEST(ConnectionStatusText, KeepsAtMost255CharactersOfAName) {
    std::string last;
    std::string text = connectionStatusText(1, std::string(300, 'n').c_str(), last);
    EXPECT_EQ(text, " Connected to " + std::string(255, 'n'));
}

}  // namespace
}  // namespace quavelink
