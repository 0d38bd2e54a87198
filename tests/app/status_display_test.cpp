#include "app/status_display.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

// The texts themselves are connectionStatusText's; the window adds colour and icon.
TEST(ConnectionStatus, ColourAndIconFollowTheCount) {
    ConnectionStatus status;
    ConnectionStatusView view = status.update(2, "phone");
    EXPECT_EQ(view.text, " Connected to phone (2)");
    EXPECT_EQ(view.color, kConnectedColor);
    EXPECT_EQ(view.iconId, 128);
    EXPECT_EQ(status.lastClientName(), "phone");

    view = status.update(0, nullptr);
    EXPECT_EQ(view.text, " Disconnected");
    EXPECT_EQ(view.color, kDisconnectedColor);
    EXPECT_EQ(view.iconId, 140);
    EXPECT_EQ(status.update(1, "<b>%s%n\xff").text, " Connected to <b>%s%n\xff");
}

TEST(StatusDisplay, LoopBackAddressesAreUnknown) {
    const std::uint8_t lan[4] = {192, 168, 1, 5};
    const std::uint8_t localhost[4] = {127, 0, 0, 1};
    const std::uint8_t debianHostName[4] = {127, 0, 1, 1};
    const std::uint8_t high[4] = {255, 254, 0, 10};
    EXPECT_EQ(formatAddressText(lan), " 192.168.1.5");
    EXPECT_EQ(formatAddressText(localhost), " (Unknown)");
    EXPECT_EQ(formatAddressText(debianHostName), " (Unknown)");
    EXPECT_EQ(formatAddressText(high), " 255.254.0.10");
}

}  // namespace
}  // namespace quavelink
