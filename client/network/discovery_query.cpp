#include "client/network/discovery_query.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "discovery/discovery_protocol.h"

namespace quavelink {
namespace {

class Socket {
  public:
    Socket() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

bool resolve(const std::string& name, in_addr& out) {
    if (inet_pton(AF_INET, name.c_str(), &out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
    out = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    return true;
}

}  // namespace

bool isDiscoveryResponse(std::string_view datagram) { return datagram == kDiscoveryResponse; }

bool findServers(std::uint16_t discoveryPort, const std::vector<std::string>& extraAddresses,
                 int waitMs, std::vector<FoundServer>& found, std::string& error) {
    Socket sock;
    if (sock.fd < 0) {
        error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
        return false;
    }
    // Discovery is for the local network only; loop on so that a server on this machine answers.
    unsigned char ttl = 1, loop = 1;
    setsockopt(sock.fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(sock.fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);

    std::vector<sockaddr_in> targets;
    auto addTarget = [&](in_addr address) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(discoveryPort);
        target.sin_addr = address;
        targets.push_back(target);
    };
    in_addr group{};
    inet_pton(AF_INET, DISCOVERY_GROUP, &group);
    addTarget(group);
    for (const std::string& name : extraAddresses) {
        in_addr address{};
        if (!resolve(name, address)) {
            error = "cannot resolve " + name;
            return false;
        }
        addTarget(address);
    }

    auto sendQueries = [&] {
        int sent = 0;
        for (const sockaddr_in& target : targets) {
            if (sendto(sock.fd, kDiscoveryQuery2.data(), kDiscoveryQuery2.size(), 0,
                       reinterpret_cast<const sockaddr*>(&target),
                       sizeof target) == static_cast<ssize_t>(kDiscoveryQuery2.size())) {
                ++sent;
            } else {
                error = std::string("sending the discovery query failed: ") + std::strerror(errno);
            }
        }
        return sent;
    };
    int sentFirst = sendQueries();
    if (sentFirst == 0) return false;
    error.clear();

    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(waitMs);
    auto repeatAt = start + std::chrono::milliseconds(waitMs / 3);
    bool repeated = false;
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) break;
        if (!repeated && now >= repeatAt) {
            sendQueries();
            repeated = true;
        }
        auto until = repeated ? deadline : repeatAt;
        int sliceMs =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        pollfd readable{sock.fd, POLLIN, 0};
        if (poll(&readable, 1, std::max(sliceMs, 1)) <= 0) continue;
        char buffer[256];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        ssize_t length = recvfrom(sock.fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (length <= 0 || !isDiscoveryResponse(std::string_view(buffer, length))) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
        FoundServer server{text};
        if (std::find(found.begin(), found.end(), server) == found.end()) found.push_back(server);
    }
    return true;
}

}  // namespace quavelink
