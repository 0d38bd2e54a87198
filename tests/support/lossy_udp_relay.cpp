#include "lossy_udp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quavelink::test {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// A UDP socket bound to 127.0.0.1:`port` (0: any free port), with room for a burst.
int boundSocket(std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::runtime_error("relay: socket failed");
    int room = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        throw std::runtime_error("relay: bind failed");
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::uint64_t keyOf(const sockaddr_in& address) {
    return static_cast<std::uint64_t>(ntohl(address.sin_addr.s_addr)) << 16 |
           ntohs(address.sin_port);
}

}  // namespace

struct LossyUdpRelay::State {
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        int fd;              // the socket to send it from
        bool toClient;       // sendto `client`; else send on the connected `fd`
        sockaddr_in client;  // when toClient
        Clock::time_point arrived;
        std::uint64_t flow = 0;  // the client it comes from or goes to
    };
    // Delay queues, ordered by the time each datagram is due.
    using Queue = std::multimap<Clock::time_point, Datagram>;

    struct Direction {
        double loss;
        std::mt19937 random;
        Counts counts;
        Queue queue;
        // Per client: when its last datagram is due, which the next one must not overtake.
        std::map<std::uint64_t, Clock::time_point> lastDue;
    };

    Options options;
    int listenFd = -1;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    // Per client address: the socket that speaks for it to the server.
    std::map<std::uint64_t, int> upstream;
    std::map<int, sockaddr_in> clientOfSocket;

    mutable std::mutex mutex;  // guards loss, counts and queues of both directions, the links
                               // and upstream's size
    Direction toServer;
    Direction toClient;
    Clock::duration mostLate{0};
    // The links towards clients that have a rate: by client port, the rate in bytes per second
    // and when the link is free again.
    struct Link {
        double bytesPerSecond = 0;
        Clock::time_point freeAt{};
    };
    std::map<std::uint16_t, Link> links;

    explicit State(const Options& options)
        : options(options),
          toServer{options.lossToServer, std::mt19937(options.seed), {}, {}, {}},
          toClient{options.lossToClient, std::mt19937(options.seed * 7919u + 17u), {}, {}, {}} {}

    ~State() {
        for (auto& [key, fd] : upstream) close(fd);
        if (listenFd >= 0) close(listenFd);
        if (wakeFd >= 0) close(wakeFd);
    }

    // Decides the fate of one arrived datagram: dropped, or queued with its delay.
    void take(Direction& direction, Datagram datagram) {
        std::lock_guard lock(mutex);
        ++direction.counts.received;
        if (std::uniform_real_distribution<double>(0.0, 1.0)(direction.random) < direction.loss) {
            ++direction.counts.dropped;
            return;
        }
        auto low = options.delay - options.jitter;
        auto high = options.delay + options.jitter;
        if (low < microseconds(0)) low = microseconds(0);
        microseconds delay(std::uniform_int_distribution<std::int64_t>(
            low.count(), high.count())(direction.random));
        const Clock::time_point ready = datagram.arrived + delay;
        Clock::time_point due = ready;
        // Equal times keep their order of arrival in the queue.
        Clock::time_point& last = direction.lastDue[datagram.flow];
        if (!options.reorder) due = std::max(due, last);
        if (datagram.toClient) {
            auto link = links.find(ntohs(datagram.client.sin_port));
            if (link != links.end() && link->second.bytesPerSecond > 0) {
                // The datagram waits for the link, then takes its time on it.
                Clock::time_point start = std::max(due, link->second.freeAt);
                if (start - ready > options.linkQueue) {
                    ++direction.counts.dropped;
                    return;
                }
                link->second.freeAt =
                    start +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(datagram.bytes.size()) / link->second.bytesPerSecond));
                due = link->second.freeAt;
            }
        }
        last = due;
        direction.queue.emplace(due, std::move(datagram));
    }

    // Sends every datagram of `direction` that is due by `now`.
    void sendDue(Direction& direction, Clock::time_point now) {
        std::lock_guard lock(mutex);
        auto& queue = direction.queue;
        while (!queue.empty() && queue.begin()->first <= now) {
            mostLate = std::max(mostLate, now - queue.begin()->first);
            Datagram& datagram = queue.begin()->second;
            if (datagram.toClient) {
                sendto(datagram.fd, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&datagram.client), sizeof datagram.client);
            } else {
                send(datagram.fd, datagram.bytes.data(), datagram.bytes.size(), MSG_DONTWAIT);
            }
            auto delay = std::chrono::duration_cast<microseconds>(now - datagram.arrived);
            Counts& counts = direction.counts;
            if (counts.forwarded == 0 || delay < counts.minDelay) counts.minDelay = delay;
            if (delay > counts.maxDelay) counts.maxDelay = delay;
            ++counts.forwarded;
            queue.erase(queue.begin());
        }
    }

    std::optional<Clock::time_point> nextDue() {
        std::lock_guard lock(mutex);
        std::optional<Clock::time_point> due;
        for (Direction* direction : {&toServer, &toClient}) {
            if (direction->queue.empty()) continue;
            auto at = direction->queue.begin()->first;
            if (!due || at < *due) due = at;
        }
        return due;
    }

    int socketFor(const sockaddr_in& client) {
        std::uint64_t key = keyOf(client);
        auto found = upstream.find(key);
        if (found != upstream.end()) return found->second;
        int fd = boundSocket(0);
        sockaddr_in server = loopback(options.serverPort);
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
        std::lock_guard lock(mutex);
        upstream.emplace(key, fd);
        clientOfSocket.emplace(fd, client);
        return fd;
    }
};

LossyUdpRelay::LossyUdpRelay(const Options& options) : state(std::make_unique<State>(options)) {
    state->listenFd = boundSocket(0);
    listenPort = localPort(state->listenFd);
    state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) throw std::runtime_error("relay: eventfd failed");
    worker = std::thread([this] { run(); });
}

LossyUdpRelay::~LossyUdpRelay() {
    state->stopping = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(state->wakeFd, &one, sizeof one);
    worker.join();
}

void LossyUdpRelay::setLoss(double toServer, double toClient) {
    std::lock_guard lock(state->mutex);
    state->toServer.loss = toServer;
    state->toClient.loss = toClient;
}

void LossyUdpRelay::setDelay(std::chrono::microseconds delay, std::chrono::microseconds jitter) {
    std::lock_guard lock(state->mutex);
    state->options.delay = delay;
    state->options.jitter = jitter;
}

void LossyUdpRelay::setClientRate(std::uint16_t clientPort, double bytesPerSecond) {
    std::lock_guard lock(state->mutex);
    if (bytesPerSecond > 0) {
        state->links[clientPort].bytesPerSecond = bytesPerSecond;
    } else {
        state->links.erase(clientPort);
    }
}

LossyUdpRelay::Counts LossyUdpRelay::toServer() const {
    std::lock_guard lock(state->mutex);
    return state->toServer.counts;
}

LossyUdpRelay::Counts LossyUdpRelay::toClient() const {
    std::lock_guard lock(state->mutex);
    return state->toClient.counts;
}

std::size_t LossyUdpRelay::clientCount() const {
    std::lock_guard lock(state->mutex);
    return state->upstream.size();
}

std::chrono::microseconds LossyUdpRelay::takeMostLate() {
    std::lock_guard lock(state->mutex);
    auto late = std::chrono::duration_cast<std::chrono::microseconds>(state->mostLate);
    state->mostLate = {};
    return late;
}

void LossyUdpRelay::run() {
    State& s = *state;
    std::vector<std::uint8_t> buffer(65536);
    std::vector<pollfd> fds;
    while (!s.stopping.load()) {
        Clock::time_point now = Clock::now();
        s.sendDue(s.toServer, now);
        s.sendDue(s.toClient, now);

        fds.clear();
        fds.push_back({s.wakeFd, POLLIN, 0});
        fds.push_back({s.listenFd, POLLIN, 0});
        for (const auto& [fd, client] : s.clientOfSocket) fds.push_back({fd, POLLIN, 0});
        // Wake for the next due datagram to the microsecond, or every 100 ms anyway.
        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(100));
        if (auto due = s.nextDue()) {
            wait = std::max(std::chrono::nanoseconds(0),
                            std::min(wait, std::chrono::nanoseconds(*due - Clock::now())));
        }
        timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                         static_cast<long>(wait.count() % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) continue;

        for (const pollfd& p : fds) {
            if ((p.revents & POLLIN) == 0 || p.fd == s.wakeFd) continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                ssize_t n = recvfrom(p.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 0) {
                    // An ICMP error from an earlier send shows up here: the next read goes on.
                    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                    continue;
                }
                State::Datagram datagram{
                    std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n),
                    -1,
                    false,
                    {},
                    Clock::now()};
                if (p.fd == s.listenFd) {
                    datagram.fd = s.socketFor(from);
                    datagram.flow = keyOf(from);
                    s.take(s.toServer, std::move(datagram));
                } else {
                    datagram.fd = s.listenFd;
                    datagram.toClient = true;
                    datagram.client = s.clientOfSocket.at(p.fd);
                    datagram.flow = keyOf(datagram.client);
                    s.take(s.toClient, std::move(datagram));
                }
            }
        }
    }
}

}  // namespace quavelink::test
