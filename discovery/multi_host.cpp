#include "discovery/multi_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "discovery/discovery_protocol.h"
#include "discovery/response_pacer.h"
#include "discovery/socket_error.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace quavelink {
namespace {

// Only for a socket that fails: a datagram that is not a query is dropped at once.
constexpr int kReceiveErrorPauseMs = 500;
// Received datagrams logged in any one second; the rest are only counted, and the count is
// logged as one line in the next second that brings a datagram.
constexpr int kLoggedDatagramsPerSecond = 20;

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Rations the "Multicast received" lines.
class DatagramLog {
  public:
    void received(std::string_view datagram, std::int64_t nowMs) {
        std::int64_t second = nowMs / 1000;
        if (second != second_) {
            if (unlogged_ > 0) {
                logLine("multiHost: %u more datagrams received, not logged\n", unlogged_);
            }
            second_ = second;
            logged_ = 0;
            unlogged_ = 0;
        }
        if (logged_ == kLoggedDatagramsPerSecond) {
            ++unlogged_;
            return;
        }
        ++logged_;
        logLine("Multicast received %d bytes: %s\n", static_cast<int>(datagram.size()),
                printableDatagramText(datagram).c_str());
    }

  private:
    std::int64_t second_ = -1;
    int logged_ = 0;
    unsigned unlogged_ = 0;
};

// Lets a stop request cut the loop's waits short. The program's own responder has a token that
// can never be stopped: it then needs no descriptor and simply blocks.
class StopWaker {
  public:
    explicit StopWaker(std::stop_token stop) : stop_(std::move(stop)) {
        if (!stop_.stop_possible()) return;
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ >= 0) wakeOnStop_.emplace(stop_, Wake{wakeFd_});
    }
    ~StopWaker() {
        wakeOnStop_.reset();
        if (wakeFd_ >= 0) close(wakeFd_);
    }
    StopWaker(const StopWaker&) = delete;
    StopWaker& operator=(const StopWaker&) = delete;

    //! Blocks until `socket` has something to read (or poll fails, which the receive then
    //! reports). False once a stop is requested.
    bool waitReadable(int socket) {
        while (!stop_.stop_requested()) {
            pollfd fds[2] = {{socket, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            int ready = poll(fds, wakeFd_ >= 0 ? 2 : 1, fallbackSliceMs());
            if (ready > 0 && fds[0].revents != 0) break;
            if (ready < 0 && errno != EINTR) break;
        }
        return !stop_.stop_requested();
    }

    //! Sleeps `milliseconds`. False once a stop is requested.
    bool pause(int milliseconds) {
        if (!stop_.stop_possible()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            return true;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (!stop_.stop_requested()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            int slice = static_cast<int>(left.count());
            if (wakeFd_ < 0) slice = std::min(slice, fallbackSliceMs());
            pollfd wake = {wakeFd_, POLLIN, 0};
            poll(&wake, wakeFd_ >= 0 ? 1 : 0, slice);
        }
        return !stop_.stop_requested();
    }

  private:
    struct Wake {
        int fd;
        void operator()() const {
            std::uint64_t one = 1;
            [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
        }
    };

    // Without an eventfd a stoppable wait falls back to looking at the token every 50 ms.
    int fallbackSliceMs() const { return wakeFd_ < 0 && stop_.stop_possible() ? 50 : -1; }

    std::stop_token stop_;
    int wakeFd_ = -1;
    std::optional<std::stop_callback<Wake>> wakeOnStop_;
};

sockaddr_in socketAddress(UdpEndpoint endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

ssize_t sendResponse(int socket, UdpEndpoint destination) {
    sockaddr_in to = socketAddress(destination);
    return sendto(socket, kDiscoveryResponse.data(), kDiscoveryResponse.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void answer(int listeningSocket, const DiscoveryAnswer& answer) {
    if (!answer.fromFreshSocket) {
        if (sendResponse(listeningSocket, answer.destination) < 0) {
            reportSocketError("multiHost: Socket sendto failed");
        }
        return;
    }
    int fresh = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fresh < 0) {
        reportSocketError("multiHost: Response socket open failed");
        return;
    }
    bool failed = sendResponse(fresh, answer.destination) < 0;
    int error = errno;
    close(fresh);
    if (failed) reportSocketError("multiHost: Response socket sendto failed", error);
}

}  // namespace

int openDiscoverySocket(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reportSocketError("multiHost: Socket open failed");
        return -1;
    }
    auto fail = [fd](const char* message) {
        reportSocketError(message);
        close(fd);
        return -1;
    };
    std::int32_t reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0) {
        return fail("multiHost: Socket reuse option failed");
    }
    sockaddr_in local = socketAddress(UdpEndpoint{INADDR_ANY, port});
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        return fail("multiHost: Bind failed");
    }
    ip_mreq membership{};
    inet_pton(AF_INET, DISCOVERY_GROUP, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        return fail("multiHost: Socket multicast group add failed");
    }
    return fd;
}

void serveDiscoveryQueries(int socket, std::uint16_t discoveryPort, std::stop_token stop) {
    StopWaker waker(std::move(stop));
    ResponsePacer pacer;
    DatagramLog log;
    // One byte more than is ever received, so the text always ends with a zero byte.
    char buffer[kDiscoveryReceiveLimit + 1];
    while (waker.waitReadable(socket)) {
        std::memset(buffer, 0, sizeof buffer);
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC gives a longer datagram's true length, so that it is refused whole instead
        // of being read cut short.
        ssize_t received =
            recvfrom(socket, buffer, kDiscoveryReceiveLimit, MSG_TRUNC | MSG_DONTWAIT,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            if (!waker.pause(kReceiveErrorPauseMs)) return;
            continue;
        }
        // An empty or oversized datagram is no query: it costs nothing but its read.
        if (received == 0 || static_cast<std::size_t>(received) > kDiscoveryReceiveLimit) continue;
        std::string_view datagram(buffer, static_cast<std::size_t>(received));
        const std::int64_t now = steadyMilliseconds();
        log.received(datagram, now);
        UdpEndpoint sender{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        auto reply = answerForDatagram(datagram, sender, discoveryPort);
        if (reply && pacer.mayAnswer(sender.address, std::chrono::milliseconds(now))) {
            answer(socket, *reply);
        }
    }
}

void multiHost(std::stop_token stop) {
    std::uint16_t port = discoveryPortFor(portFromEnvironment());
    int fd = openDiscoverySocket(port);
    if (fd < 0) return;
    if (port == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        logLine(
            "multiHost: Warning, server port 65535 leaves discovery no port above it: "
            "listening on port %u, where clients will not look\n",
            static_cast<unsigned>(ntohs(bound.sin_port)));
    }
    serveDiscoveryQueries(fd, port, std::move(stop));
    close(fd);
}

bool startMultiHost(WorkerThread& thread) {
    return thread.start([](std::stop_token stop) { multiHost(std::move(stop)); },
                        kWorkerStackBytes);
}

}  // namespace quavelink
