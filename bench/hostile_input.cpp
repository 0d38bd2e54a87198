// What a careless or hostile host on the LAN costs the other listeners of quavelink-serverd:
// bursts of small reliable messages from one ENet peer, and floods of datagrams at the
// discovery responder. The server runs on a private PulseAudio daemon playing a tone, inside
// the caller's private network namespace. Prints, each against the same figure measured without
// the burst or flood in the same run:
// - for bursts of 1000 and 3000 messages (16-byte Faster requests, and Data requests with a
//   255-character name): the longest gap in each listener's audio during the 3 s after the
//   burst, and how long a client that starts to connect at the burst's moment waits for its
//   first audio (it asks for audio as soon as it is connected);
// - for floods of 40 empty datagrams, 2000 junk datagrams and 300 valid queries from one
//   address: how long a listener on another address waits for its answer (asking every 250 ms);
// - the discovery answer's size against the query's, and the answers a second that one address
//   and a hundred addresses together get at most.
// - for a host that opens 5000 ENet handshakes in 10 s and completes none: whether newcomers that
//   start to connect during the flood and after it hear audio within 10 s, and how long they wait;
// - for 100 valid queries a second from 1000 forged addresses: how many listeners that start
//   looking meanwhile are answered at their first query, how many queries of a listener asking
//   once a second are, and the answers a second the flood gets;
// - careless clients: one that connects and never reads (how long until the server lets it go),
//   connect and disconnect churn, names at the limits; each against the listeners' gaps;
// - a recording onto a tmpfs that fills up: the listeners' gaps while it fills, what the daemon
//   says and its exit status.
// Usage (inside a private network namespace): hostile_input SERVERD [SECTION...]
// SECTION: bursts, discovery, halfopen, forged, careless, disk (all by default).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "discovery/discovery_protocol.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "server/wire_format.h"
#include "test_client.h"

using namespace quavelink;
using namespace quavelink::test;
using Clock = std::chrono::steady_clock;

namespace {

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A listening client and the longest stretch without audio seen since `resetGap`.
struct Listener {
    const char* name;
    std::uint32_t flags;
    std::unique_ptr<TestClient> client;
    Clock::time_point last;
    double longestGapMs = 0;
    bool dropped = false;

    void poll() {
        if (!client) return;
        client->service(0);
        auto now = Clock::now();
        if (!client->messages().empty()) {
            longestGapMs = std::max(longestGapMs,
                                    std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
            client->messages().clear();
        }
        if (!client->connected()) dropped = true;
    }
    void resetGap() {
        longestGapMs = 0;
        last = Clock::now();
    }
    // The gap still open at the end of a measure counts too.
    double closeGap() const {
        return std::max(longestGapMs,
                        std::chrono::duration<double, std::milli>(Clock::now() - last).count());
    }
};

// A client that connects and asks for reliable PCM, given up after 30 s.
class Newcomer {
  public:
    explicit Newcomer(std::uint16_t port)
        : client(std::make_unique<TestClient>(port, 1 | CONNECT_FLAG_SHARED)) {}

    //! True once the first audio message arrived.
    bool poll() {
        client->service(0);
        if (client->connected() && !asked) {
            client->sendDataRequest(FLAG_RELIABLE, "newcomer");
            asked = true;
        }
        if (!client->messages().empty() && heardMs < 0) heardMs = millisecondsSince(start);
        client->messages().clear();
        return heardMs >= 0;
    }
    bool givenUp() const { return millisecondsSince(start) > 30000; }

    std::unique_ptr<TestClient> client;
    Clock::time_point start = Clock::now();
    bool asked = false;
    double heardMs = -1;  // from the connect attempt to the first audio
};

std::unique_ptr<TestClient> connectClient(std::uint16_t port, std::uint32_t connectValue,
                                          std::vector<Listener>& listeners) {
    auto client = std::make_unique<TestClient>(port, connectValue);
    auto start = Clock::now();
    while (!client->connected() && millisecondsSince(start) < 30000) {
        client->service(1);
        for (Listener& l : listeners) l.poll();
    }
    return client->connected() ? std::move(client) : nullptr;
}

// Services everyone for `ms` milliseconds.
void serviceFor(std::vector<Listener>& listeners, std::vector<TestClient*> others, double ms) {
    auto start = Clock::now();
    while (millisecondsSince(start) < ms) {
        for (Listener& l : listeners) l.poll();
        for (TestClient* other : others) {
            other->service(0);
            other->messages().clear();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void printGaps(const char* what, const std::vector<Listener>& listeners, double newcomerMs) {
    std::printf("%-34s", what);
    for (const Listener& l : listeners) {
        std::printf(" %8.1f%s", l.closeGap(), l.dropped ? "!" : " ");
    }
    if (newcomerMs >= 0) {
        std::printf(" %10.1f\n", newcomerMs);
    } else {
        std::printf(" %10s\n", "none");
    }
}

void burstRound(std::uint16_t port, std::vector<Listener>& listeners, int messages, bool named) {
    auto flooder = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
    if (!flooder) {
        std::printf("flooder could not connect\n");
        return;
    }
    flooder->sendDataRequest(FLAG_RELIABLE, "flooder");
    serviceFor(listeners, {flooder.get()}, 500);

    std::vector<std::uint8_t> message(kMessageHeaderSize, 0);
    if (named) {
        message.assign(kMessageHeaderSize + 256, 'n');
        message.back() = 0;
        writeMessageHeader({MSG_DATA_REQUEST, 0, FLAG_RELIABLE, 0}, message.data());
    } else {
        writeMessageHeader({MSG_FASTER, 0, 0, 0}, message.data());
    }
    for (Listener& l : listeners) l.resetGap();
    for (int i = 0; i < messages; ++i) flooder->queueRaw(message);
    flooder->flush();
    auto burstAt = Clock::now();
    Newcomer newcomer(port);
    while (millisecondsSince(burstAt) < 3000 || (!newcomer.poll() && !newcomer.givenUp())) {
        for (Listener& l : listeners) l.poll();
        flooder->service(0);
        flooder->messages().clear();
        newcomer.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    char what[64];
    std::snprintf(what, sizeof what, "burst of %d %s", messages,
                  named ? "named Data requests" : "Faster requests");
    printGaps(what, listeners, newcomer.heardMs);
    flooder->disconnect();
    newcomer.client->disconnect();
    serviceFor(listeners, {flooder.get(), newcomer.client.get()}, 1000);
}

// A UDP socket bound to `address`, non-blocking reads with a timeout.
class UdpSocket {
  public:
    explicit UdpSocket(const char* address, std::uint16_t port = 0) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = endpoint(address, port);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~UdpSocket() { close(fd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    void send(const std::string& bytes, std::uint16_t port) {
        sockaddr_in to = endpoint(DISCOVERY_GROUP, port);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    //! To 127.0.0.1:`port`.
    void sendTo(const std::vector<std::uint8_t>& bytes, std::uint16_t port) {
        sockaddr_in to = endpoint("127.0.0.1", port);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    //! To the discovery group, from `source` (an address of this namespace's loopback, which
    //! the socket is not bound to): a forged sender.
    void sendFrom(const std::string& bytes, std::uint16_t port, in_addr source) {
        sockaddr_in to = endpoint(DISCOVERY_GROUP, port);
        iovec data{const_cast<char*>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = source;
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        sendmsg(fd, &message, 0);
    }
    //! Bytes of the next datagram within `timeoutMs`, or nothing.
    std::optional<std::string> receive(int timeoutMs) {
        pollfd readable = {fd, POLLIN, 0};
        if (::poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
        char buffer[512];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    int drain() {
        int count = 0;
        while (receive(0)) ++count;
        return count;
    }

  private:
    static sockaddr_in endpoint(const char* address, std::uint16_t port) {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        inet_pton(AF_INET, address, &result.sin_addr);
        result.sin_port = htons(port);
        return result;
    }
    int fd = -1;
};

// Milliseconds until a query from a fresh socket on 127.0.0.1 is answered, asking every 250 ms;
// -1 after 60 s. A fresh socket (a port of its own) hears no late answer to an earlier query.
double answerTime(std::uint16_t discoveryPort) {
    UdpSocket listener("127.0.0.1");
    auto start = Clock::now();
    while (millisecondsSince(start) < 60000) {
        listener.send(std::string(kDiscoveryQuery2), discoveryPort);
        if (auto reply = listener.receive(250); reply && *reply == kDiscoveryResponse) {
            return millisecondsSince(start);
        }
    }
    return -1;
}

// Waits until the responder answers at once again (a responder that queues its work may still
// be busy with the last flood), then a second more.
void waitUntilIdle(std::uint16_t discoveryPort) {
    for (int i = 0; i < 10 && answerTime(discoveryPort) > 250; ++i) {
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

void printAnswerTime(const char* what, double ms) {
    if (ms < 0) {
        std::printf("%-34s %10s\n", what, "> 60000");
    } else {
        std::printf("%-34s %10.1f\n", what, ms);
    }
}

void discoveryFloods(std::uint16_t discoveryPort) {
    UdpSocket flooder("127.0.0.2");
    std::printf("\nDiscovery: a listener's query during a flood from another address\n");
    std::printf("%-34s %10s\n", "flood", "answer ms");
    double idle = 0;
    // Apart by more than the 100 ms at which one address earns an answer again.
    for (int i = 0; i < 5; ++i) {
        idle = std::max(idle, answerTime(discoveryPort));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    printAnswerTime("none (slowest of 5)", idle);

    waitUntilIdle(discoveryPort);
    for (int i = 0; i < 40; ++i) flooder.send("", discoveryPort);
    printAnswerTime("40 empty datagrams", answerTime(discoveryPort));

    waitUntilIdle(discoveryPort);
    for (int i = 0; i < 2000; ++i) {
        flooder.send(std::string(static_cast<std::size_t>(i * 7919 % 401), 'j'), discoveryPort);
    }
    printAnswerTime("2000 junk datagrams (0-400 bytes)", answerTime(discoveryPort));

    waitUntilIdle(discoveryPort);
    flooder.drain();
    for (int i = 0; i < 300; ++i) flooder.send(std::string(kDiscoveryQuery2), discoveryPort);
    printAnswerTime("300 valid queries", answerTime(discoveryPort));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("(the flooding address got %d answers to its 300 queries within 1 s after)\n",
                flooder.drain());
}

// Answers a second for queries sent as fast as a loop can for `seconds`, from `senders`.
double answersPerSecond(std::vector<std::unique_ptr<UdpSocket>>& senders, std::uint16_t port,
                        int seconds) {
    for (auto& s : senders) s->drain();
    int answers = 0;
    long queries = 0;
    auto start = Clock::now();
    while (millisecondsSince(start) < seconds * 1000.0) {
        for (auto& s : senders) {
            s->send(std::string(kDiscoveryQuery2), port);
            ++queries;
            answers += s->drain();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (auto& s : senders) answers += s->drain();
    std::printf("  (%ld queries sent)\n", queries);
    return answers / static_cast<double>(seconds);
}

void amplification(std::uint16_t discoveryPort) {
    // IPv4 and UDP headers without options: 28 bytes each way.
    const double headers = 28;
    std::printf("\nDiscovery answer against query, bytes (payload; with IPv4 and UDP headers)\n");
    std::printf("  QuaveLinkQuery2 %zu -> %zu: %.2fx; %.2fx\n", kDiscoveryQuery2.size(),
                kDiscoveryResponse.size(),
                kDiscoveryResponse.size() / static_cast<double>(kDiscoveryQuery2.size()),
                (kDiscoveryResponse.size() + headers) / (kDiscoveryQuery2.size() + headers));
    std::printf("  QuaveLinkQuery  %zu -> %zu: %.2fx; %.2fx\n", kDiscoveryQuery.size(),
                kDiscoveryResponse.size(),
                kDiscoveryResponse.size() / static_cast<double>(kDiscoveryQuery.size()),
                (kDiscoveryResponse.size() + headers) / (kDiscoveryQuery.size() + headers));

    waitUntilIdle(discoveryPort);
    std::vector<std::unique_ptr<UdpSocket>> one;
    one.push_back(std::make_unique<UdpSocket>("127.0.0.3"));
    std::printf("Answers a second at most, queries as fast as possible for 5 s\n");
    double single = answersPerSecond(one, discoveryPort, 5);
    std::printf("  to one address:           %.1f\n", single);
    waitUntilIdle(discoveryPort);
    std::vector<std::unique_ptr<UdpSocket>> many;
    for (int i = 0; i < 100; ++i) {
        many.push_back(std::make_unique<UdpSocket>(("127.0.1." + std::to_string(i + 1)).c_str()));
    }
    double all = answersPerSecond(many, discoveryPort, 5);
    std::printf("  to 100 addresses together: %.1f\n", all);
}

// A host on 127.0.0.2 opens ENet handshakes and never completes one: 5000 CONNECTs in 10 s.
// Newcomers on 127.0.0.1 start to connect now and then during the flood and after it.
void halfOpenFlood(std::uint16_t port, std::vector<Listener>& listeners) {
    std::printf(
        "\nENet: 5000 CONNECTs in 10 s from 127.0.0.2, no handshake completed; a newcomer from "
        "127.0.0.1 now and then: ms from its attempt to its first audio, or none within 10 s\n");
    UdpSocket flooder("127.0.0.2");
    struct Attempt {
        double at;  // s after the flood began
        std::unique_ptr<Newcomer> newcomer;
        bool done = false;
    };
    std::vector<Attempt> attempts;
    for (double at : {0.5, 2.5, 4.5, 6.5, 8.5, 10.5, 11.5, 13.0, 15.0, 20.0, 25.0}) {
        attempts.push_back({at, nullptr});
    }
    for (Listener& l : listeners) l.resetGap();
    const auto start = Clock::now();
    int sent = 0;
    for (double t = 0; t < 36; t = millisecondsSince(start) / 1000) {
        for (; sent < 5000 && sent < t * 500; ++sent) {
            flooder.sendTo(enetConnectDatagram(static_cast<std::uint32_t>(sent + 1), 1), port);
        }
        flooder.drain();
        for (Attempt& a : attempts) {
            if (!a.newcomer && t >= a.at) a.newcomer = std::make_unique<Newcomer>(port);
            if (!a.newcomer || a.done) continue;
            if (a.newcomer->poll() || millisecondsSince(a.newcomer->start) > 10000) {
                a.done = true;
                a.newcomer->client->disconnect();
            }
        }
        for (Listener& l : listeners) l.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (const Attempt& a : attempts) {
        const double heard = a.newcomer ? a.newcomer->heardMs : -1;
        if (heard >= 0 && heard <= 10000) {
            std::printf("  attempt at %4.1f s (%s the flood): %7.1f\n", a.at,
                        a.at < 10 ? "during" : "after ", heard);
        } else {
            std::printf("  attempt at %4.1f s (%s the flood): %7s\n", a.at,
                        a.at < 10 ? "during" : "after ", "none");
        }
    }
    printGaps("  listeners' longest gap (ms)", listeners, -1);
}

// 100 valid queries a second from 1000 forged addresses (127.0.2.0 on), each one asking again
// every 10 s, for 25 s; from the 12th second, when each forged address has asked before, a new
// listener (an address of its own) asks once a second, and so does one listener on 127.0.0.1.
void forgedDiscoveryFlood(std::uint16_t discoveryPort) {
    std::printf(
        "\nDiscovery: 100 queries a second from 1000 forged addresses (%.1f KB/s with headers)\n",
        100 * (kDiscoveryQuery2.size() + 28) / 1000.0);
    waitUntilIdle(discoveryPort);
    UdpSocket flooder("0.0.0.0");
    UdpSocket repeating("127.0.0.1");
    std::vector<std::unique_ptr<UdpSocket>> newcomers;
    int newAnswered = 0, repeatedAnswered = 0, floodAnswers = 0, asked = 0;
    const auto start = Clock::now();
    int sent = 0;
    double nextAsk = 12;
    for (double t = 0; t < 25.3; t = millisecondsSince(start) / 1000) {
        for (; sent < t * 100 && t < 25; ++sent) {
            in_addr source{htonl(0x7F000200u + static_cast<std::uint32_t>(sent % 1000))};
            flooder.sendFrom(std::string(kDiscoveryQuery2), discoveryPort, source);
        }
        floodAnswers += flooder.drain();
        if (t >= nextAsk && t < 25) {
            nextAsk += 1;
            ++asked;
            const std::string address = "127.0.9." + std::to_string(asked);
            newcomers.push_back(std::make_unique<UdpSocket>(address.c_str()));
            newcomers.back()->send(std::string(kDiscoveryQuery2), discoveryPort);
            repeating.send(std::string(kDiscoveryQuery2), discoveryPort);
        }
        for (auto& n : newcomers) newAnswered += n->drain();
        repeatedAnswered += repeating.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("  new listeners answered at their only query: %d of %d\n", newAnswered, asked);
    std::printf("  a listener asking once a second, answered:  %d of %d\n", repeatedAnswered,
                asked);
    std::printf("  answers a second to the forged addresses:   %.1f\n", floodAnswers / 25.0);
}

// A client that connects, asks for reliable PCM and never services its host again: no acks, no
// reads. How long until the server lets it go, and what it costs the listeners meanwhile.
void neverReadingClient(std::uint16_t port, std::vector<Listener>& listeners,
                        ChildProcess& serverd) {
    auto disconnects = [&] {
        const std::string out = serverd.output();
        std::size_t count = 0;
        for (std::size_t at = out.find(" disconnected\n"); at != std::string::npos;
             at = out.find(" disconnected\n", at + 1)) {
            ++count;
        }
        return count;
    };
    std::printf("\nCareless clients\n");
    for (std::uint32_t flags : {FLAG_RELIABLE, 0u}) {
        auto silent = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
        if (!silent) {
            std::printf("  a never-reading client could not connect\n");
            continue;
        }
        silent->sendDataRequest(flags, "never reads");
        silent->flush();
        const std::size_t before = disconnects();
        for (Listener& l : listeners) l.resetGap();
        const auto start = Clock::now();
        while (disconnects() == before && millisecondsSince(start) < 60000) {
            serviceFor(listeners, {}, 100);
        }
        char what[96];
        std::snprintf(what, sizeof what, "  never reads (%s): let go after %.1f s;",
                      flags ? "reliable" : "best-effort",
                      disconnects() > before ? millisecondsSince(start) / 1000 : -1.0);
        printGaps(what, listeners, -1);
        silent->abandon();
    }
}

// 300 clients in a row that connect, ask for audio and leave at once, then 40 that connect and
// vanish without a word; a newcomer's wait right after.
void churn(std::uint16_t port, std::vector<Listener>& listeners) {
    for (Listener& l : listeners) l.resetGap();
    const auto start = Clock::now();
    int cycles = 0;
    for (int i = 0; i < 340; ++i) {
        auto client = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
        if (!client) continue;
        ++cycles;
        client->sendDataRequest(FLAG_RELIABLE, "churn");
        if (i < 300) {
            client->disconnect();
        } else {
            client->abandon();
        }
    }
    const double seconds = millisecondsSince(start) / 1000;
    Newcomer newcomer(port);
    while (!newcomer.poll() && !newcomer.givenUp()) {
        for (Listener& l : listeners) l.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    char what[96];
    std::snprintf(what, sizeof what, "  churn: %d clients in %.1f s, then a newcomer", cycles,
                  seconds);
    printGaps(what, listeners, newcomer.heardMs);
    newcomer.client->disconnect();
    serviceFor(listeners, {newcomer.client.get()}, 500);
}

// Listeners that a probe had dropped connect again, so that the next probe starts with all.
void rejoin(std::uint16_t port, std::vector<Listener>& listeners) {
    bool any = false;
    for (Listener& l : listeners) {
        if (!l.dropped) continue;
        l.client = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
        if (l.client) l.client->sendDataRequest(l.flags, l.name);
        l.dropped = false;
        any = true;
    }
    if (any) serviceFor(listeners, {}, 1000);
}

// Data requests whose names sit at and past the 255 bytes kept: exactly 255, 256, 64 KiB, one
// without its ending zero, and one of control characters and bytes that are no UTF-8.
void namesAtTheLimits(std::uint16_t port, std::vector<Listener>& listeners, ChildProcess& serverd) {
    auto client = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
    if (!client) return;
    for (Listener& l : listeners) l.resetGap();
    auto request = [&](const std::string& name, bool ended) {
        std::vector<std::uint8_t> message(kMessageHeaderSize);
        writeMessageHeader({MSG_DATA_REQUEST, 0, FLAG_RELIABLE, 0}, message.data());
        message.insert(message.end(), name.begin(), name.end());
        if (ended) message.push_back(0);
        client->sendRaw(message);
        serviceFor(listeners, {client.get()}, 300);
    };
    request(std::string(255, 'a'), true);
    request(std::string(256, 'b'), true);
    request(std::string(65536, 'c'), true);
    request(std::string(100, 'd'), false);
    request(std::string("\x1b[2J\r\n\x7f\xff\xfe name"), true);
    std::size_t longest = 0;
    std::istringstream lines(serverd.output());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Status: Connected to ", 0) == 0) {
            longest = std::max(longest, line.size() - 21);
        }
    }
    char what[96];
    std::snprintf(what, sizeof what, "  names at the limits: longest shown %zu bytes;", longest);
    printGaps(what, listeners, -1);
    client->disconnect();
    serviceFor(listeners, {client.get()}, 300);
}

// A second daemon records onto a 1 MiB tmpfs of its own, which fills in about 5 s, while three
// listeners hear it; stopped 10 s later.
void fullDisk(const char* serverdPath, const std::string& pulseServer) {
    std::printf("\nA recording onto a 1 MiB tmpfs that fills up\n");
    char folder[] = "/tmp/quavelink-disk-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    const std::string mount = std::string(folder) + "/small";
    mkdir(mount.c_str(), 0700);
    const std::uint16_t port = freeUdpPort();
    std::vector<std::string> command = {"/usr/bin/unshare", "-m"};
    if (geteuid() != 0) command.push_back("-r");
    command.insert(command.end(),
                   {"sh", "-c", "mount -t tmpfs -o size=1m tmpfs \"$0\" && exec \"$@\"", mount,
                    serverdPath, "--device", "0", "--record", mount + "/take.wav"});
    ChildProcess serverd(command, {"QUAVELINK_SERVER_PORT=" + std::to_string(port),
                                   "XDG_CONFIG_HOME=" + std::string(folder),
                                   "PULSE_SERVER=" + pulseServer, "QUAVELINK_SERVER_NOWARN_48K=1"});
    if (!serverd.waitForOutput("Recording to", std::chrono::seconds(20))) {
        std::printf("  the daemon did not start recording:\n%s", serverd.output().c_str());
        return;
    }
    std::vector<Listener> listeners;
    listeners.push_back({"PCM reliable", FLAG_RELIABLE, nullptr, {}, 0, false});
    listeners.push_back({"PCM best-effort", 0, nullptr, {}, 0, false});
    for (Listener& l : listeners) {
        l.client = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
        if (l.client) l.client->sendDataRequest(l.flags, l.name);
    }
    serviceFor(listeners, {}, 1000);
    for (Listener& l : listeners) l.resetGap();
    serviceFor(listeners, {}, 15000);
    const bool said = serverd.output().find("Message: WAV write error") != std::string::npos;
    printGaps("  listeners' longest gap over 15 s (ms)", listeners, -1);
    const std::optional<int> status = serverd.stop();
    std::printf("  said \"WAV write error\": %s; exit status %d; on standard error: %s",
                said ? "yes" : "no", status.value_or(-1),
                serverd.errors().empty() ? "nothing\n" : serverd.errors().c_str());
    std::filesystem::remove_all(folder);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !inPrivateNetwork()) {
        std::fprintf(stderr, "usage, inside a private network namespace: %s SERVERD [SECTION...]\n",
                     argv[0]);
        return 2;
    }
    std::vector<std::string> sections(argv + 2, argv + argc);
    auto runs = [&](const char* section) {
        return sections.empty() ||
               std::find(sections.begin(), sections.end(), section) != sections.end();
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    PulseDaemon pulse({"module-null-sink sink_name=bench rate=48000"});
    if (!pulse.ready()) {
        std::fprintf(stderr, "the private PulseAudio daemon did not start\n");
        return 1;
    }
    PulsePlayer player("bench", PulsePlayer::Options{}, stereoTones(440, 660, 48000, 2));
    char folder[] = "/tmp/quavelink-hostile-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::uint16_t port = freeUdpPort();
    ChildProcess serverd(
        {argv[1], "--device", "0"},
        {"QUAVELINK_SERVER_PORT=" + std::to_string(port), "XDG_CONFIG_HOME=" + std::string(folder),
         "PULSE_SERVER=" + pulse.server(), "QUAVELINK_SERVER_NOWARN_48K=1"});
    if (!serverd.waitForOutput("Capturing at", std::chrono::seconds(20))) {
        std::fprintf(stderr, "the server did not start capturing:\n%s", serverd.output().c_str());
        return 1;
    }
    std::printf("server: %s\n", argv[1]);

    std::vector<Listener> listeners;
    listeners.push_back({"PCM reliable", FLAG_RELIABLE, nullptr, {}, 0, false});
    listeners.push_back({"PCM best-effort", 0, nullptr, {}, 0, false});
    listeners.push_back({"Opus 256 reliable", FLAG_RELIABLE | 0xC0, nullptr, {}, 0, false});
    for (Listener& l : listeners) {
        l.client = connectClient(port, 1 | CONNECT_FLAG_SHARED, listeners);
        if (!l.client) {
            std::fprintf(stderr, "a listener could not connect\n");
            return 1;
        }
        l.client->sendDataRequest(l.flags, l.name);
    }
    serviceFor(listeners, {}, 2000);

    std::printf(
        "\nENet: longest gap in each listener's audio (ms) in the 3 s after a burst from "
        "one peer, and a newcomer's wait from its connect attempt to its first audio (ms); "
        "! = the listener was dropped\n");
    std::printf("%-34s", "burst");
    for (const Listener& l : listeners) std::printf(" %9.9s", l.name);
    std::printf(" %10s\n", "newcomer");
    for (Listener& l : listeners) l.resetGap();
    serviceFor(listeners, {}, 3000);
    Newcomer baseline(port);
    while (!baseline.poll() && !baseline.givenUp()) {
        for (Listener& l : listeners) l.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    printGaps("none (3 s)", listeners, baseline.heardMs);
    baseline.client->disconnect();
    serviceFor(listeners, {baseline.client.get()}, 500);

    if (runs("bursts")) {
        for (bool named : {false, true}) {
            for (int messages : {1000, 3000}) burstRound(port, listeners, messages, named);
        }
    }
    if (runs("halfopen")) halfOpenFlood(port, listeners);
    if (runs("careless")) {
        neverReadingClient(port, listeners, serverd);
        churn(port, listeners);
        rejoin(port, listeners);
        namesAtTheLimits(port, listeners, serverd);
    }
    if (runs("discovery")) {
        discoveryFloods(static_cast<std::uint16_t>(port + 1));
        amplification(static_cast<std::uint16_t>(port + 1));
    }
    if (runs("forged")) forgedDiscoveryFlood(static_cast<std::uint16_t>(port + 1));
    if (runs("disk")) fullDisk(argv[1], pulse.server());

    serverd.stop();
    std::filesystem::remove_all(folder);
    return 0;
}
