#include "app/status_display.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(ConnectionStatus, ConnectNameAndDisconnectTexts) {
    ConnectionStatus status;
    ConnectionStatusView view = status.update(1, "");
    EXPECT_EQ(view.text, " Connected");
    EXPECT_EQ(view.color, kConnectedColor);
    EXPECT_EQ(view.iconId, 128);

    EXPECT_EQ(status.update(1, "phone").text, " Connected to phone");
    // A disconnect while one stays keeps the name it showed; the count suffix only from 2 on.
    EXPECT_EQ(status.update(2, nullptr).text, " Connected to phone (2)");

    view = status.update(0, nullptr);
    EXPECT_EQ(view.text, " Disconnected");
    EXPECT_EQ(view.color, kDisconnectedColor);
    EXPECT_EQ(view.iconId, 140);
    // The name is forgotten with the last client, and a connect forgets it too.
    EXPECT_EQ(status.update(1, nullptr).text, " Connected");
    status.update(1, "phone");
    EXPECT_EQ(status.update(3, "").text, " Connected (3)");
    EXPECT_EQ(status.update(2, nullptr).text, " Connected (2)");
}

TEST(ConnectionStatus, TheClientThatAskedLastIsNamedAfterTheOtherLeaves) {
    ConnectionStatus status;
    status.update(1, "");
    status.update(2, "");
    status.update(2, "tablet");
    status.update(2, "phone");
    EXPECT_EQ(status.update(1, nullptr).text, " Connected to phone");
}

TEST(ConnectionStatus, NamesFromTheNetworkAreCutAndKeptAsBytes) {
    ConnectionStatus status;
    std::string longName(400, 'n');
    EXPECT_EQ(status.update(1, longName.c_str()).text, " Connected to " + std::string(255, 'n'));
    EXPECT_EQ(status.lastClientName().size(), 255u);
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
