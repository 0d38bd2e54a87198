// The lossy relay of tests/support on its own, with plain UDP sockets: it loses about the share
// it was given, delays within its range, keeps each client's order, and a slow link carries
// about its rate.
#include "lossy_udp_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Socket {
    Socket() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int room = 4 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    ~Socket() { close(fd); }
    std::uint16_t port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const {
        sockaddr_in to = loopback(port);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // One datagram within `timeout`, with where it came from; empty when none came.
    std::vector<std::uint8_t> receive(std::chrono::milliseconds timeout,
                                      sockaddr_in* from = nullptr) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
        std::vector<std::uint8_t> bytes(2048);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t n = recvfrom(fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&sender), &length);
        if (from) *from = sender;
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }
    int fd;
};

std::vector<std::uint8_t> numbered(std::uint32_t number, std::size_t size = 64) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), &number, sizeof number);
    return bytes;
}

std::uint32_t numberOf(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t number = 0;
    std::memcpy(&number, bytes.data(), sizeof number);
    return number;
}

TEST(LossyUdpRelay, LosesItsShareDelaysWithinItsRangeKeepsOrderAndAnswersBack) {
    Socket server, client;
    LossyUdpRelay::Options options;
    options.serverPort = server.port();
    options.lossToServer = 0.05;
    options.lossToClient = 0.05;
    LossyUdpRelay relay(options);

    // 2000 datagrams at 1 per ms; about 100 are lost, the rest arrive in order, 10..30 ms late.
    std::vector<std::uint32_t> arrived;
    std::thread reader([&] {
        for (auto bytes = server.receive(500ms); !bytes.empty(); bytes = server.receive(500ms)) {
            arrived.push_back(numberOf(bytes));
        }
    });
    for (std::uint32_t i = 0; i < 2000; ++i) {
        client.sendTo(relay.port(), numbered(i));
        std::this_thread::sleep_for(1ms);
    }
    reader.join();
    const auto toServer = relay.toServer();
    EXPECT_EQ(toServer.received, 2000u);
    EXPECT_EQ(toServer.forwarded, arrived.size());
    EXPECT_EQ(toServer.dropped + toServer.forwarded, 2000u);
    EXPECT_GT(toServer.dropped, 50u);
    EXPECT_LT(toServer.dropped, 160u);
    for (std::size_t i = 1; i < arrived.size(); ++i) ASSERT_GT(arrived[i], arrived[i - 1]);
    EXPECT_GE(toServer.minDelay, 10ms);
    // The upper end waits also for the relay's thread on a loaded machine.
    EXPECT_LT(toServer.maxDelay, 300ms);

    // The server answers the address the relay gave it, and the answer reaches the client.
    sockaddr_in relayed{};
    client.sendTo(relay.port(), numbered(7));
    std::vector<std::uint8_t> question;
    for (int i = 0; i < 20 && question.empty(); ++i) question = server.receive(200ms, &relayed);
    ASSERT_FALSE(question.empty());
    std::vector<std::uint8_t> answer;
    for (int i = 0; i < 20 && answer.empty(); ++i) {
        sendto(server.fd, question.data(), question.size(), 0,
               reinterpret_cast<sockaddr*>(&relayed), sizeof relayed);
        answer = client.receive(200ms);
    }
    EXPECT_EQ(answer, question);
    EXPECT_EQ(relay.clientCount(), 1u);
}

TEST(LossyUdpRelay, ASlowLinkCarriesItsRateAndDropsWhatWouldWaitTooLong) {
    Socket server, client;
    LossyUdpRelay::Options options;
    options.serverPort = server.port();
    options.lossToServer = 0;
    options.lossToClient = 0;
    options.delay = 1ms;
    options.jitter = 0ms;
    options.linkQueue = 200ms;
    LossyUdpRelay relay(options);

    // The client's address reaches the server once, which then sends 1000-byte datagrams to
    // it at 200 kB/s through a link of 50 kB/s for one second.
    sockaddr_in relayed{};
    std::vector<std::uint8_t> hello;
    for (int i = 0; i < 20 && hello.empty(); ++i) {
        client.sendTo(relay.port(), numbered(0));
        hello = server.receive(200ms, &relayed);
    }
    ASSERT_FALSE(hello.empty());
    relay.setClientRate(client.port(), 50000);
    std::size_t received = 0;
    std::thread reader([&] {
        while (!client.receive(500ms).empty()) ++received;
    });
    const auto start = Clock::now();
    for (std::uint32_t i = 0; i < 200; ++i) {
        auto bytes = numbered(i, 1000);
        sendto(server.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&relayed),
               sizeof relayed);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(5 * (i + 1)));
    }
    reader.join();
    // 1 s at 50 kB/s, and what the 200 ms queue held at the end: about 60 of the 200.
    EXPECT_GT(received, 40u);
    EXPECT_LT(received, 80u);
    EXPECT_EQ(relay.toClient().dropped + received, 200u);
}

}  // namespace
}  // namespace quavelink::test
