#include "server/half_open_peers.h"

#include <enet/enet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "child_process.h"
#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "server/stream_server.h"
#include "test_client.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

int halfOpenPeers(const StreamServer& server) {
    int count = 0;
    for (std::size_t i = 0; i < server.host()->peerCount; ++i) {
        count += server.host()->peers[i].state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT;
    }
    return count;
}

// A host on 127.0.0.2 that sends CONNECTs and never completes a handshake, while a listener on
// 127.0.0.1 connects as any client does.
TEST(HalfOpenPeers, AHostThatNeverCompletesItsHandshakesHoldsFewPeersAndNotForLong) {
    if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server(window, recorder);
    const std::uint16_t port = freeUdpPort();
    ASSERT_TRUE(server.start(port));

    const int flooder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{AF_INET, 0, {htonl(0x7F000002)}, {}};
    ASSERT_EQ(bind(flooder, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    for (std::uint32_t id = 1; id <= 100; ++id) {
        auto datagram = enetConnectDatagram(id, 1);
        sendto(flooder, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
    }
    for (int i = 0; i < 20; ++i) server.serviceWhileIdle(10ms);
    EXPECT_EQ(halfOpenPeers(server), kHalfOpenPeersPerAddress);

    // Peers are left for everyone else: a listener gets in at once.
    TestClient listener(port, 1);
    for (int i = 0; i < 100 && !listener.connected(); ++i) {
        server.serviceWhileIdle(10ms);
        listener.service(0);
    }
    EXPECT_TRUE(listener.connected());

    // What the flood holds is free again within seconds; the listener stays.
    for (auto start = std::chrono::steady_clock::now();
         halfOpenPeers(server) > 0 && std::chrono::steady_clock::now() - start < 10s;) {
        server.serviceWhileIdle(10ms);
        listener.service(0);
    }
    EXPECT_EQ(halfOpenPeers(server), 0);
    EXPECT_TRUE(listener.connected());
    close(flooder);
}

}  // namespace
}  // namespace quavelink::test
