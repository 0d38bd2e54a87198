#include <arpa/inet.h>
#include <enet/enet.h>
#include <gtest/gtest.h>

#include "server/client_sessions.h"
#include "server/server_window.h"

namespace quavelink {
namespace {

ENetPeer somePeer{};

ClientSlots fullTable(std::initializer_list<std::int64_t> times) {
    ClientSlots slots{};
    int i = 0;
    for (std::int64_t t : times) {
        slots[i].peer = &somePeer;
        slots[i++].connectTime = t;
    }
    return slots;
}

TEST(ChooseSlot, TakesTheFirstFreeSlot) {
    ClientSlots slots = fullTable({5, 6, 7});
    SlotChoice choice = chooseSlot(slots, 100);
    EXPECT_EQ(choice.index, 3);
    EXPECT_FALSE(choice.replacesOccupied);

    slots[1] = {};
    EXPECT_EQ(chooseSlot(slots, 100).index, 1);
}

TEST(ChooseSlot, ReplacesTheEarliestConnectionWhenFull) {
    ClientSlots slots = fullTable({50, 40, 30, 31, 30, 60, 70, 80, 90, 99});
    SlotChoice choice = chooseSlot(slots, 100);
    EXPECT_TRUE(choice.replacesOccupied);
    EXPECT_EQ(choice.index, 2);  // the tie with slot 4 goes to the lower index
}

TEST(ChooseSlot, TiesAllAroundGoToSlotZero) {
    ClientSlots slots = fullTable({7, 7, 7, 7, 7, 7, 7, 7, 7, 7});
    EXPECT_EQ(chooseSlot(slots, 7).index, 0);
}

TEST(ChooseSlot, ConnectionsStampedSlightlyInTheFutureCanStillBeReplaced) {
    // A clock that stepped back: slots stamped after "now" are still chosen when within 100 s.
    ClientSlots slots = fullTable({150, 120, 130, 140, 150, 160, 170, 180, 190, 195});
    EXPECT_EQ(chooseSlot(slots, 100).index, 1);
}

TEST(FormatIPv4, WritesTheMostSignificantByteFirst) {
    char text[16];
    EXPECT_STREQ(formatIPv4(htonl(0x7F000001), text), "127.0.0.1");
    EXPECT_STREQ(formatIPv4(htonl(0xFFFFFFFF), text), "255.255.255.255");
    EXPECT_STREQ(formatIPv4(htonl(0xC0A80A02), text), "192.168.10.2");
}

TEST(ClientSessionsDisconnect, StaleConnectionOfAReturningClientLeavesTheNewSlot) {
    struct : ServerWindow {
        void SetConnectionStatus(int, const char*) override {}
        bool TakeInputDeviceChange(int&) override { return false; }
        void SetCaptureRateText(const std::string&) override {}
        void SetCaptureRateColor(std::uint32_t) override {}
        void SetMeterData(const int*, int, int) override {}
        void ShowMessageBox(const std::string&) override {}
    } window;
    ClientSessions sessions(window, [] { return std::int64_t{1000}; });
    // Two connections from one address and port: the crashed client and the client back.
    ENetPeer stale{};
    ENetPeer back{};
    stale.address = back.address = ENetAddress{htonl(0x0A000002), 50000};
    sessions.handleConnect(&stale, 2);
    sessions.handleConnect(&back, 2);
    sessions.handleDisconnect(&stale);
    EXPECT_EQ(sessions.slots()[1].peer, &back);
    EXPECT_EQ(sessions.connectedCount(), 1);
}

}  // namespace
}  // namespace quavelink
