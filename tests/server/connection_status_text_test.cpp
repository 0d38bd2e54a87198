#include "server/connection_status_text.h"

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
    connectionStatusText(1, "kitchen", last);
    EXPECT_EQ(connectionStatusText(0, nullptr, last), " Disconnected");
    EXPECT_EQ(connectionStatusText(1, nullptr, last), " Connected");
    EXPECT_EQ(connectionStatusText(-1, "x", last), " Disconnected");
    EXPECT_TRUE(last.empty());
}

TEST(ConnectionStatusText, KeepsAtMost255BytesOfANameAndNoHalfCharacter) {
    std::string last;
    EXPECT_EQ(connectionStatusText(1, std::string(300, 'n').c_str(), last),
              " Connected to " + std::string(255, 'n'));
    // 254 bytes, then a two-byte character the cut at 255 would split.
    const std::string name = std::string(254, 'n') + "\xC3\xBC";
    EXPECT_EQ(connectionStatusText(1, name.c_str(), last),
              " Connected to " + std::string(254, 'n'));
    EXPECT_EQ(connectionStatusText(2, nullptr, last),
              " Connected to " + std::string(254, 'n') + " (2)");
}

}  // namespace
}  // namespace quavelink
