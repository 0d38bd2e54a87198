#include "server/outgoing_queue.h"

#include <enet/enet.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "server_harness.h"

namespace quavelink::test {
namespace {

// A connected client and the server's peer for it, with ENet driven by hand. Each message
// carries a marker in its block number so the test can tell which ones arrived.
struct PeerPair {
    ServerHarness harness;
    std::unique_ptr<TestClient> client = harness.connect(1);
    ENetPeer* serverPeer = harness.server.sessions().slots()[0].peer;

    void queue(std::uint32_t marker, enet_uint32 flags) {
        std::uint8_t message[kMessageHeaderSize];
        writeMessageHeader({MSG_AUDIO, marker, 0, 0}, message);
        ENetPacket* packet = enet_packet_create(message, sizeof message, flags);
        ASSERT_EQ(enet_peer_send(serverPeer, 0, packet), 0);
    }
    // Lets both sides exchange everything pending, acknowledgements included.
    void settle() {
        std::uint8_t none = 0;
        for (int i = 0; i < 30; ++i) {
            enet_host_flush(harness.server.host());
            harness.server.processAudioBlock(&none, 0);
            client->service(0);
        }
    }
    std::vector<std::uint32_t> markers() {
        std::vector<std::uint32_t> seen;
        for (const ReceivedMessage& m : client->messages()) seen.push_back(m.header.blockNumber);
        return seen;
    }
};

TEST(ClearOutgoingQueue, DropsOnlyUnsentReliableCommandsAndTheStreamGoesOnWithoutAGap) {
    PeerPair pair;
    for (std::uint32_t m : {1, 2, 3}) pair.queue(m, ENET_PACKET_FLAG_RELIABLE);
    enet_host_flush(pair.harness.server.host());  // these three are on their way
    for (std::uint32_t m = 10; m < 20; ++m) pair.queue(m, ENET_PACKET_FLAG_RELIABLE);
    pair.queue(100, ENET_PACKET_FLAG_UNRELIABLE_FRAGMENT);
    const enet_uint16 sequenceBefore = pair.serverPeer->channels[0].outgoingReliableSequenceNumber;

    EXPECT_EQ(waitingReliableCommands(pair.serverPeer), 10u);
    EXPECT_EQ(sentReliableCommands(pair.serverPeer), 3u);
    LogCapture log;
    EXPECT_EQ(clearOutgoingQueue(pair.serverPeer), 10);
    EXPECT_EQ(log.count("Removed 10 outgoing messages\n"), 1);
    EXPECT_EQ(waitingReliableCommands(pair.serverPeer), 0u);
    EXPECT_EQ(pair.serverPeer->channels[0].outgoingReliableSequenceNumber, sequenceBefore - 10);
    EXPECT_EQ(enet_list_size(&pair.serverPeer->outgoingCommands), 1u);  // the unreliable one

    for (std::uint32_t m : {20, 21, 22}) pair.queue(m, ENET_PACKET_FLAG_RELIABLE);
    pair.settle();
    std::vector<std::uint32_t> seen = pair.markers();
    std::erase(seen, 100u);  // unreliable, may come early or late
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2, 3, 20, 21, 22}));
}

TEST(ClearOutgoingQueue, RollsBackAcrossTheSixteenBitWrap) {
    PeerPair pair;
    pair.settle();
    // Both ends as after a long session: the next reliable number is 65531.
    pair.serverPeer->channels[0].outgoingReliableSequenceNumber = 65530;
    pair.client->enetPeer()->channels[0].incomingReliableSequenceNumber = 65530;

    for (std::uint32_t m = 1; m <= 10; ++m) pair.queue(m, ENET_PACKET_FLAG_RELIABLE);
    ASSERT_EQ(pair.serverPeer->channels[0].outgoingReliableSequenceNumber, 4);
    EXPECT_EQ(clearOutgoingQueue(pair.serverPeer), 10);
    EXPECT_EQ(pair.serverPeer->channels[0].outgoingReliableSequenceNumber, 65530);

    for (std::uint32_t m : {20, 21}) pair.queue(m, ENET_PACKET_FLAG_RELIABLE);
    pair.settle();
    EXPECT_EQ(pair.markers(), (std::vector<std::uint32_t>{20, 21}));
}

TEST(ClearOutgoingQueue, KeepsTheRestOfAPacketWhoseFirstFragmentsWentOut) {
    PeerPair pair;
    std::vector<std::uint8_t> big(4000, 7);
    writeMessageHeader({MSG_AUDIO, 50, 0, 0}, big.data());
    ENetPacket* packet = enet_packet_create(big.data(), big.size(), ENET_PACKET_FLAG_RELIABLE);
    ASSERT_EQ(enet_peer_send(pair.serverPeer, 0, packet), 0);
    pair.queue(51, ENET_PACKET_FLAG_RELIABLE);
    // As if the first fragment had gone out and come back for retransmission.
    auto* first =
        reinterpret_cast<ENetOutgoingCommand*>(enet_list_begin(&pair.serverPeer->outgoingCommands));
    first->sendAttempts = 1;

    EXPECT_EQ(clearOutgoingQueue(pair.serverPeer), 1);  // only marker 51
    first->sendAttempts = 0;
    pair.queue(52, ENET_PACKET_FLAG_RELIABLE);
    pair.settle();
    std::vector<std::uint32_t> seen = pair.markers();
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{50, 52}));
    ASSERT_EQ(pair.client->messages().size(), 2u);
    EXPECT_EQ(pair.client->messages()[0].payload.size(), 4000u - kMessageHeaderSize);
}

TEST(ClearOutgoingQueue, LeavesProtocolCommandsAlone) {
    PeerPair pair;
    enet_peer_ping(pair.serverPeer);
    pair.queue(1, ENET_PACKET_FLAG_RELIABLE);
    EXPECT_EQ(clearOutgoingQueue(pair.serverPeer), 1);
    EXPECT_EQ(enet_list_size(&pair.serverPeer->outgoingCommands), 1u);
}

TEST(QueueTrimming, AReliableClientThatStallsSkipsAheadAndThenPlaysOnInOrder) {
    ServerHarness harness;
    auto client = harness.connect(1);
    client->sendDataRequest(FLAG_RELIABLE, "slow");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return client->messages().size() > 10; }));

    LogCapture log;
    // The client stops reading; the server's window fills and audio piles up in its queue.
    ASSERT_TRUE(harness.stepUntil(
        {}, [&] { return log.containsPrefix("Clearing outgoing msg queue"); }, 3000));
    EXPECT_TRUE(log.containsPrefix("Removed "));
    const std::uint32_t resumeAt = harness.server.plainBlockCounter();

    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] {
        return client->messages().back().header.blockNumber > resumeAt + 100;
    }));
    const auto& messages = client->messages();
    for (std::size_t i = 1; i < messages.size(); ++i) {
        ASSERT_GT(messages[i].header.blockNumber, messages[i - 1].header.blockNumber) << i;
    }
    EXPECT_TRUE(client->connected());
}

TEST(QueueTrimming, ABestEffortClientIsNeverCleared) {
    ServerHarness harness;
    auto client = harness.connect(1);
    client->sendDataRequest(0, "fast");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return client->messages().size() > 10; }));
    LogCapture log;
    for (int i = 0; i < 1500; ++i) harness.step({});
    EXPECT_FALSE(log.containsPrefix("Clearing outgoing msg queue"));
}

}  // namespace
}  // namespace quavelink::test
