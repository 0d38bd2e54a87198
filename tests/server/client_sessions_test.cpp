#include <enet/enet.h>
#include <gtest/gtest.h>

#include <thread>

#include "fake_server_window.h"
#include "log_capture.h"
#include "server_harness.h"

namespace quavelink::test {
namespace {

// A clock the tests set: connect times decide which client is replaced.
std::vector<std::int64_t> scriptedTimes;
std::size_t nextTime = 0;
std::int64_t scriptedClock() {
    return nextTime < scriptedTimes.size() ? scriptedTimes[nextTime++] : 5000;
}

struct ScriptedClock {
    explicit ScriptedClock(std::vector<std::int64_t> times) {
        scriptedTimes = std::move(times);
        nextTime = 0;
    }
};

int slotOf(const ServerHarness& harness, const TestClient& client) {
    const ClientSlots& slots = harness.server.sessions().slots();
    for (int i = 0; i < kClientSlotCount; ++i) {
        if (slots[i].peer != nullptr && slots[i].peer->connectID == client.enetPeer()->connectID) {
            return i;
        }
    }
    return -1;
}

// Steps until the client has seen its disconnect.
bool waitForDisconnect(ServerHarness& harness, TestClient& client) {
    return harness.stepUntil({&client}, [&] { return client.disconnectValue().has_value(); });
}

TEST(ClientSessions, DataRequestChoosesModeRateAndName) {
    ServerHarness harness;
    auto client = harness.connect(1);
    const ClientSlot& slot = harness.server.sessions().slots()[0];
    EXPECT_TRUE(slot.reliable);
    EXPECT_EQ(slot.rateCode, 0);
    EXPECT_FALSE(slot.streaming);
    EXPECT_EQ(slot.protocolVersion, 1u);

    client->sendDataRequest(0x40, "phone");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return slot.streaming; }));
    EXPECT_FALSE(slot.reliable);
    EXPECT_EQ(slot.rateCode, 1);

    client->sendDataRequest(0x81, std::string(300, 'n'));
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return slot.rateCode == 2; }));
    EXPECT_TRUE(slot.reliable);

    // The window gets a name it can show and log as it is.
    client->sendDataRequest(0xC0, "<b>tv</b>\r\n\x1b\xff");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return slot.rateCode == 3; }));

    auto statuses = harness.window.read(&FakeServerWindow::statuses);
    ASSERT_EQ(statuses.size(), 4u);
    EXPECT_EQ(statuses[0].connectedCount, 1);
    EXPECT_EQ(statuses[0].name, "");
    EXPECT_EQ(statuses[1].name, "phone");
    EXPECT_EQ(statuses[2].name, std::string(255, 'n'));
    EXPECT_EQ(statuses[3].name, "<b>tv</b>????");
}

TEST(ClientSessions, DisconnectFreesTheSlotAndKeepsTheShownName) {
    ServerHarness harness;
    auto client = harness.connect(1);
    client->disconnect();
    ASSERT_TRUE(harness.stepUntil({client.get()},
                                  [&] { return harness.server.sessions().connectedCount() == 0; }));
    EXPECT_EQ(harness.server.sessions().slots()[0].peer, nullptr);
    auto statuses = harness.window.read(&FakeServerWindow::statuses);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1].connectedCount, 0);
    EXPECT_FALSE(statuses[1].name.has_value());
}

TEST(ClientSessions, EleventhSharedClientReplacesTheEarliestWithTiesToTheLowerSlot) {
    // Slots 3 and 6 share the earliest time; slot 3 goes.
    ScriptedClock clock({1009, 1008, 1007, 1001, 1006, 1005, 1001, 1004, 1003, 1002, 1010});
    ServerHarness harness(OpusEncoders::createDefault, &scriptedClock);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 10; ++i) clients.push_back(harness.connect(1 | CONNECT_FLAG_SHARED));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(slotOf(harness, *clients[i]), i);

    auto eleventh = harness.connect(1 | CONNECT_FLAG_SHARED);
    ASSERT_TRUE(waitForDisconnect(harness, *clients[3]));
    EXPECT_EQ(clients[3]->disconnectValue(), DISCONNECT_REPLACED);
    EXPECT_EQ(slotOf(harness, *eleventh), 3);
    harness.stepUntil(
        {}, [] { return false; }, 50);
    for (int i = 0; i < 10; ++i) {
        clients[i]->service(0);
        if (i != 3) {
            EXPECT_TRUE(clients[i]->connected()) << i;
        }
    }
}

TEST(ClientSessions, ClientThatDidNotShareIsDroppedByTheNextConnect) {
    ServerHarness harness;
    auto first = harness.connect(1);
    auto second = harness.connect(1 | CONNECT_FLAG_SHARED);
    ASSERT_TRUE(waitForDisconnect(harness, *first));
    EXPECT_EQ(first->disconnectValue(), DISCONNECT_REPLACED);
    EXPECT_EQ(slotOf(harness, *second), 1);

    // The sharing client stays; one that joins without sharing goes at the next connect.
    auto third = harness.connect(1);
    auto fourth = harness.connect(1 | CONNECT_FLAG_SHARED);
    ASSERT_TRUE(waitForDisconnect(harness, *third));
    EXPECT_EQ(slotOf(harness, *second), 1);
    EXPECT_GE(slotOf(harness, *fourth), 0);
    EXPECT_FALSE(second->disconnectValue().has_value());
}

TEST(ClientSessions, ProtocolVersionZeroClientIsDroppedSilently) {
    ServerHarness harness;
    auto old = harness.connect(0);
    old->sendDataRequest(0, "old");
    ASSERT_TRUE(harness.stepUntil({old.get()}, [&] { return !old->messages().empty(); }));
    auto next = harness.connect(1 | CONNECT_FLAG_SHARED);
    EXPECT_EQ(slotOf(harness, *old), -1);

    // No disconnect reaches it, it still counts, it gets no audio sent after the drop, and its
    // requests are ignored.
    const std::uint32_t firstBlockAfterDrop = harness.server.plainBlockCounter();
    old->messages().clear();
    old->sendDataRequest(0, "again");
    harness.stepUntil(
        {old.get(), next.get()}, [] { return false; }, 100);
    EXPECT_TRUE(old->connected());
    EXPECT_FALSE(old->disconnectValue().has_value());
    EXPECT_EQ(harness.server.sessions().connectedCount(), 2);
    for (const ReceivedMessage& m : old->messages()) {
        EXPECT_LT(m.header.blockNumber, firstBlockAfterDrop);
    }
    EXPECT_EQ(slotOf(harness, *old), -1);
}

TEST(ClientSessions, ReconnectFromTheSameAddressWhileItsOldSlotSharesKeepsBoth) {
    ServerHarness harness;
    std::uint16_t port = freeUdpPort();
    auto crashed = harness.connect(1 | CONNECT_FLAG_SHARED, port);
    crashed->abandon();
    crashed.reset();
    auto back = harness.connect(1 | CONNECT_FLAG_SHARED, port);

    // Both slots belong to the same address: a message is applied to both.
    LogCapture log;
    back->sendDataRequest(FLAG_RELIABLE, "back");
    const ClientSlots& slots = harness.server.sessions().slots();
    ASSERT_TRUE(harness.stepUntil({back.get()}, [&] { return slots[0].streaming; }));
    EXPECT_TRUE(slots[1].streaming);
    EXPECT_EQ(log.count("Got Data request\n"), 2);

    // A disconnect clears the slot of its own connection only.
    back->disconnect();
    ASSERT_TRUE(harness.stepUntil({back.get()},
                                  [&] { return harness.server.sessions().connectedCount() == 1; }));
    EXPECT_NE(slots[0].peer, nullptr);
    EXPECT_EQ(slots[1].peer, nullptr);
}

TEST(ClientSessions, ReconnectFromTheSameAddressClearsAnOldSlotThatDidNotShareQuietly) {
    ServerHarness harness;
    std::uint16_t port = freeUdpPort();
    auto crashed = harness.connect(1, port);
    crashed->abandon();
    crashed.reset();
    LogCapture log;
    auto back = harness.connect(1, port);
    EXPECT_EQ(slotOf(harness, *back), 1);
    EXPECT_EQ(harness.server.sessions().slots()[0].peer, nullptr);
    EXPECT_EQ(log.count("Connect for same ip/port as current connection, skipping disconnect\n"),
              1);
    // The returning client is not thrown out by the drop of its own stale connection.
    harness.stepUntil(
        {back.get()}, [] { return false; }, 100);
    EXPECT_TRUE(back->connected());
    EXPECT_FALSE(back->disconnectValue().has_value());
}

TEST(ClientSessions, FullTableWhoseOldestIsTheSameClientSkipsTheDisconnect) {
    ScriptedClock clock({1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010});
    ServerHarness harness(OpusEncoders::createDefault, &scriptedClock);
    std::uint16_t port = freeUdpPort();
    auto crashed = harness.connect(1 | CONNECT_FLAG_SHARED, port);
    std::vector<std::unique_ptr<TestClient>> others;
    for (int i = 0; i < 9; ++i) others.push_back(harness.connect(1 | CONNECT_FLAG_SHARED));
    crashed->abandon();
    crashed.reset();

    LogCapture log;
    auto back = harness.connect(1 | CONNECT_FLAG_SHARED, port);
    EXPECT_EQ(log.count("Connect for same ip/port as current connection, skipping disconnect\n"),
              1);
    EXPECT_EQ(slotOf(harness, *back), 0);
    harness.stepUntil(
        {back.get()}, [] { return false; }, 50);
    EXPECT_TRUE(back->connected());
    EXPECT_FALSE(back->disconnectValue().has_value());
}

TEST(ClientSessions, MalformedMessagesAreIgnoredSafely) {
    ServerHarness harness;
    auto client = harness.connect(1);
    LogCapture log;
    client->sendRaw({1, 0, 0, 0, 0, 0, 0});  // shorter than a header
    client->sendRaw({7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    client->sendRaw(std::vector<std::uint8_t>(16, 0xFF));
    client->sendRaw({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1);
    client->sendRaw({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    // A Data request whose name runs to the end of the packet without a zero byte.
    std::vector<std::uint8_t> unterminated(16, 0);
    unterminated[0] = 1;
    unterminated.push_back('t');
    unterminated.push_back('v');
    client->sendRaw(unterminated);
    // A Data request with nothing after its header.
    std::vector<std::uint8_t> nameless(16, 0);
    nameless[0] = 1;
    nameless[8] = 0xC1;
    client->sendRaw(nameless);

    const ClientSlot& slot = harness.server.sessions().slots()[0];
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return slot.rateCode == 3; }));
    EXPECT_TRUE(log.containsPrefix("Ignoring a message of 7 bytes"));
    EXPECT_EQ(log.count("Got unrecognized message ID 7\n"), 1);
    EXPECT_EQ(log.count("Got unrecognized message ID -1\n"), 1);
    EXPECT_EQ(log.count("Got Faster request\n"), 1);
    EXPECT_EQ(log.count("Got Slower request\n"), 1);
    auto statuses = harness.window.read(&FakeServerWindow::statuses);
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[statuses.size() - 2].name, "tv");
    EXPECT_EQ(statuses.back().name, "");
    // The session goes on.
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return client->messages().size() > 20; }));
}

std::int64_t logSecond = 100;
std::int64_t scriptedLogClock() { return logSecond; }

std::vector<std::uint8_t> dataRequest(std::uint32_t flags, const std::string& name) {
    std::vector<std::uint8_t> bytes(kMessageHeaderSize + name.size() + 1, 0);
    writeMessageHeader({MSG_DATA_REQUEST, 0, flags, 0}, bytes.data());
    std::copy(name.begin(), name.end(), bytes.begin() + kMessageHeaderSize);
    return bytes;
}

// A client may send thousands of Data requests with the longest name; each still takes effect,
// but only a few a second cost log lines, the window hears of a name only when it changes, and
// another client's messages are logged as before.
TEST(ClientSessions, AFloodingClientLogsAFewMessagesASecondAndTheRestAsACount) {
    FakeServerWindow window;
    logSecond = 100;
    ClientSessions sessions(window, &ClientSessions::unixTimeNow, &scriptedLogClock);
    // Zeroed peers stand in for connections: the sessions only read their addresses.
    std::array<ENetPeer, 2> peers{};
    peers[0].address = {0x0100007F, 40000};
    peers[1].address = {0x0100007F, 40001};
    sessions.handleConnect(&peers[0], 1 | CONNECT_FLAG_SHARED);
    sessions.handleConnect(&peers[1], 1 | CONNECT_FLAG_SHARED);
    LogCapture log;

    const std::string longName(255, 'n');
    for (int i = 0; i < 1000; ++i) {
        auto request = dataRequest(i % 2 == 0 ? 0xC1 : 0x40, longName);
        sessions.handleReceive(&peers[0], request.data(), request.size());
    }
    EXPECT_EQ(log.count("Got Data request\n"), kLoggedMessagesPerSecond);
    EXPECT_EQ(log.count("Sending compressed audio data to client 0 at rate code 3\n") +
                  log.count("Sending compressed audio data to client 0 at rate code 1\n"),
              kLoggedMessagesPerSecond);
    // The last request holds: best-effort at rate code 1.
    EXPECT_FALSE(sessions.slots()[0].reliable);
    EXPECT_EQ(sessions.slots()[0].rateCode, 1);

    auto other = dataRequest(0, "kitchen");
    sessions.handleReceive(&peers[1], other.data(), other.size());
    EXPECT_EQ(log.count("Sending uncompressed audio data to client 1\n"), 1);
    EXPECT_TRUE(sessions.slots()[1].streaming);

    logSecond = 101;
    auto again = dataRequest(0xC1, longName);
    sessions.handleReceive(&peers[0], again.data(), again.size());
    EXPECT_EQ(log.count("Client 0 sent 990 more messages, not logged\n"), 1);
    EXPECT_EQ(log.count("Got Data request\n"), kLoggedMessagesPerSecond + 2);

    // Two connects, the long name once, the other client's name, the long name again.
    auto statuses = window.read(&FakeServerWindow::statuses);
    ASSERT_EQ(statuses.size(), 5u);
    EXPECT_EQ(statuses[2].name, longName);
    EXPECT_EQ(statuses[3].name, "kitchen");
    EXPECT_EQ(statuses[4].name, longName);
    EXPECT_EQ(statuses[4].connectedCount, 2);
}

// Messages left unlogged are counted up to the client's disconnect, which reports them.
TEST(ClientSessions, UnloggedMessagesAreReportedWhenTheirClientDisconnects) {
    FakeServerWindow window;
    logSecond = 200;
    ClientSessions sessions(window, &ClientSessions::unixTimeNow, &scriptedLogClock);
    ENetPeer peer{};
    peer.address = {0x0100007F, 40000};
    sessions.handleConnect(&peer, 1);
    LogCapture log;
    std::vector<std::uint8_t> slower(kMessageHeaderSize, 0);
    writeMessageHeader({MSG_SLOWER, 0, 0, 0}, slower.data());
    for (int i = 0; i < kLoggedMessagesPerSecond + 25; ++i) {
        sessions.handleReceive(&peer, slower.data(), slower.size());
    }
    EXPECT_EQ(log.count("Got Slower request\n"), kLoggedMessagesPerSecond);
    sessions.handleDisconnect(&peer);
    EXPECT_EQ(log.count("Client 0 sent 25 more messages, not logged\n"), 1);
    EXPECT_EQ(sessions.slots()[0].peer, nullptr);
}

// The capture thread and the server thread hand the host over without a lock: a debug build
// stops at the first use by a thread that does not own it, before the two can race.
TEST(ClientSessionsDeathTest, AThreadThatDoesNotOwnTheHostStopsADebugBuild) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeServerWindow window;
    ClientSessions sessions(window);
    const MessageHeader faster{MSG_FASTER, 0, 0, 0};
    std::thread([&] { sessions.handleDataRequest(0, faster, "owner"); }).join();
    EXPECT_DEBUG_DEATH(sessions.handleDataRequest(0, faster, "another"),
                       "used by a thread that does not own it");
    // Once the owner has let go, the next thread to use the host owns it.
    ClientSessions handedOver(window);
    std::thread([&] {
        handedOver.handleDataRequest(0, faster, "owner");
        handedOver.owner().release();
    }).join();
    handedOver.handleDataRequest(0, faster, "next");
}

}  // namespace
}  // namespace quavelink::test
