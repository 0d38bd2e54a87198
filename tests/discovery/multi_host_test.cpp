#include "discovery/multi_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/discovery_protocol.h"
#include "platform/log.h"

namespace quavelink {
namespace {

using namespace std::string_literals;

// Generous bound for a datagram that should come; only there so that a broken responder fails
// the test instead of hanging it.
constexpr int kArrivalTimeoutMs = 10000;

// Multicast must never leave this machine. In a network namespace of its own (as made by
// scripts/in-private-network.sh) loopback is the only interface; anywhere else these tests skip.
bool loopbackIsTheOnlyInterface() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return false;
    bool onlyLoopback = true;
    for (ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (std::string_view(i->ifa_name) != "lo") onlyLoopback = false;
    }
    freeifaddrs(interfaces);
    return onlyLoopback;
}

std::size_t openDescriptorCount() {
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

struct Datagram {
    std::string text;
    std::uint16_t fromPort = 0;
};

// A client's UDP socket. Address reuse lets it share the discovery port with the responder,
// which is where first-form answers go; being bound to a specific address, it gets the
// unicast datagrams for that address ahead of the responder's wildcard socket.
class Client {
  public:
    Client(const char* address, std::uint16_t port) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int reuse = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in local = endpoint(address, port);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~Client() { close(fd_); }

    bool bound() const { return fd_ >= 0 && bound_; }

    void send(const std::string& bytes, const char* address, std::uint16_t port) {
        sockaddr_in to = endpoint(address, port);
        ASSERT_EQ(
            sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(bytes.size()));
    }

    std::optional<Datagram> receive(int timeoutMs = kArrivalTimeoutMs) {
        pollfd readable = {fd_, POLLIN, 0};
        if (poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
        char buffer[512];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
        if (n < 0) return std::nullopt;
        return Datagram{std::string(buffer, static_cast<std::size_t>(n)), ntohs(from.sin_port)};
    }

    bool nothingWaiting() { return !receive(0); }

  private:
    static sockaddr_in endpoint(const char* address, std::uint16_t port) {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        inet_pton(AF_INET, address, &result.sin_addr);
        result.sin_port = htons(port);
        return result;
    }

    int fd_ = -1;
    bool bound_ = false;
};

class MultiHost : public testing::Test {
  protected:
    void SetUp() override {
        if (!loopbackIsTheOnlyInterface()) {
            GTEST_SKIP() << "needs a private network namespace: "
                            "scripts/in-private-network.sh ctest ...";
        }
        setLogObserver([this](const std::string& line) {
            std::lock_guard lock(linesMutex_);
            lines_.push_back(line);
        });
    }

    void TearDown() override {
        if (responder_.joinable()) {
            responder_.request_stop();
            responder_.join();
        }
        if (socket_ >= 0) close(socket_);
        setLogObserver(nullptr);
        unsetenv("QUAVELINK_SERVER_PORT");
    }

    // Opens the socket here, so the responder is listening before the test sends anything.
    void serveOn(std::uint16_t port) {
        socket_ = openDiscoverySocket(port);
        ASSERT_GE(socket_, 0) << "is the multicast route on loopback missing?";
        responder_ = std::jthread(
            [this, port](std::stop_token stop) { serveDiscoveryQueries(socket_, port, stop); });
    }

    bool logged(const std::string& line) {
        std::lock_guard lock(linesMutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

    bool loggedContaining(const std::string& part) {
        std::lock_guard lock(linesMutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string& line) { return line.find(part) != line.npos; });
    }

    std::jthread responder_;
    int socket_ = -1;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

TEST_F(MultiHost, SecondFormIsAnsweredAtTheSendersPortFromTheDiscoveryPort) {
    serveOn(59111);
    Client client("127.0.0.1", 40000);
    ASSERT_TRUE(client.bound());
    client.send("QuaveLinkQuery2", DISCOVERY_GROUP, 59111);

    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");
    EXPECT_EQ(reply->fromPort, 59111);
    EXPECT_TRUE(logged("Multicast received 15 bytes: QuaveLinkQuery2\n"));
}

TEST_F(MultiHost, FirstFormIsAnsweredAtTheDiscoveryPortFromAFreshSocket) {
    serveOn(59121);
    Client asker("127.0.0.2", 0);
    Client listener("127.0.0.2", 59121);
    ASSERT_TRUE(asker.bound() && listener.bound());
    asker.send("QuaveLinkQuery", DISCOVERY_GROUP, 59121);

    auto reply = listener.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");
    EXPECT_NE(reply->fromPort, 59121);
    EXPECT_NE(reply->fromPort, 0);
    EXPECT_TRUE(asker.nothingWaiting());
}

TEST_F(MultiHost, QuerySentStraightToTheServerAddressIsAnswered) {
    serveOn(59131);
    Client client("127.0.0.1", 0);
    ASSERT_TRUE(client.bound());
    client.send("QuaveLinkQuery2", "127.0.0.1", 59131);

    auto reply = client.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");
}

TEST_F(MultiHost, OnlyExactQueriesAreAnswered) {
    serveOn(59141);
    // Bound at the discovery port, the prober would receive a wrong answer of either form.
    Client prober("127.0.0.3", 59141);
    Client marker("127.0.0.1", 0);
    ASSERT_TRUE(prober.bound() && marker.bound());
    for (const std::string& query : {"QuaveLinkQuery\0"s, "quavelinkquery2"s, "QUAVELINKQUERY"s,
                                     "QuaveLinkQuery2\0"s, ""s, std::string(300, 'Q')}) {
        prober.send(query, DISCOVERY_GROUP, 59141);
    }
    // Queries are answered in arrival order, so once the marker has its answer every probe
    // query has been dealt with.
    marker.send("QuaveLinkQuery2", DISCOVERY_GROUP, 59141);
    auto reply = marker.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");

    EXPECT_TRUE(prober.nothingWaiting());
    EXPECT_TRUE(logged("Multicast received 15 bytes: QuaveLinkQuery.\n"));
    // Neither the empty nor the oversized datagram counts as received.
    EXPECT_FALSE(loggedContaining("received 0 bytes"));
    EXPECT_FALSE(loggedContaining("received 300 bytes"));
    EXPECT_FALSE(loggedContaining("received 255 bytes"));
}

TEST_F(MultiHost, ListensOneAboveTheServerPortFromTheEnvironment) {
    setenv("QUAVELINK_SERVER_PORT", "60000", 1);
    std::jthread thread([](std::stop_token stop) { multiHost(stop); });
    Client client("127.0.0.1", 0);
    ASSERT_TRUE(client.bound());

    // The thread sets up on its own time: ask until it answers.
    std::optional<Datagram> reply;
    for (int attempt = 0; attempt < 50 && !reply; ++attempt) {
        client.send("QuaveLinkQuery2", DISCOVERY_GROUP, 60001);
        reply = client.receive(200);
    }
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");
    EXPECT_EQ(reply->fromPort, 60001);
}

TEST_F(MultiHost, ServerPort65535WarnsThatDiscoveryHasNoPortAboveIt) {
    setenv("QUAVELINK_SERVER_PORT", "65535", 1);
    std::jthread thread([](std::stop_token stop) { multiHost(stop); });
    for (int i = 0; i < kArrivalTimeoutMs / 10 && !loggedContaining("65535"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(
        loggedContaining("multiHost: Warning, server port 65535 leaves discovery no port "
                         "above it: listening on port "));
    EXPECT_TRUE(loggedContaining(", where clients will not look\n"));
}

// A flood from one host, as a careless or hostile program on the LAN sends: empty datagrams,
// junk of every length, and valid queries. The responder drops what is no query at once and
// answers that host only a few times a second, so another listener's query is answered while
// the flood still arrives, and the flooding host gets far fewer answers than it asked for.
TEST_F(MultiHost, AFloodFromOneHostNeitherSilencesItNorIsAnsweredInFull) {
    serveOn(59161);
    Client flooder("127.0.0.2", 0);
    Client listener("127.0.0.1", 0);
    ASSERT_TRUE(flooder.bound() && listener.bound());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) flooder.send("", DISCOVERY_GROUP, 59161);
    for (int i = 0; i < 2000; ++i) {
        flooder.send(std::string(static_cast<std::size_t>(i % 400), 'x'), DISCOVERY_GROUP, 59161);
    }
    for (int i = 0; i < 300; ++i) flooder.send("QuaveLinkQuery2", DISCOVERY_GROUP, 59161);

    // A datagram may be lost to a full receive queue while the flood is read: the listener asks
    // again now and then, as clients do.
    std::optional<Datagram> reply;
    for (int attempt = 0; attempt < kArrivalTimeoutMs / 250 && !reply; ++attempt) {
        listener.send("QuaveLinkQuery2", DISCOVERY_GROUP, 59161);
        reply = listener.receive(250);
    }
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "QuaveLinkResponse");

    int answered = 0;
    while (flooder.receive(200)) ++answered;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(answered, 2 + 10 * static_cast<int>(std::ceil(seconds)));
    // The log gets a few lines a second, not one per datagram.
    std::lock_guard lock(linesMutex_);
    auto received = std::count_if(lines_.begin(), lines_.end(), [](const std::string& line) {
        return line.rfind("Multicast received", 0) == 0;
    });
    EXPECT_LE(received, 20 * (static_cast<int>(std::ceil(seconds)) + 1));
}

TEST_F(MultiHost, SetUpFailureIsLoggedAndEndsTheThreadWithoutLeaks) {
    // A socket without address reuse on the port makes the responder's bind fail.
    int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(59151);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    setenv("QUAVELINK_SERVER_PORT", "59150", 1);
    std::size_t descriptorsBefore = openDescriptorCount();

    std::promise<void> ended;
    std::jthread thread([&](std::stop_token stop) {
        multiHost(stop);
        ended.set_value();
    });
    EXPECT_EQ(ended.get_future().wait_for(std::chrono::milliseconds(kArrivalTimeoutMs)),
              std::future_status::ready);
    thread.request_stop();
    thread.join();

    EXPECT_TRUE(logged("multiHost: Bind failed, errno = 0x62, GetLastError() = 0x62\n"));
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    close(holder);
}

}  // namespace
}  // namespace quavelink
