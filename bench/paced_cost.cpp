#include "paced_cost.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace quavelink::bench {

double threadCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double bareDatagramSeconds(const std::vector<int>& datagramsPerBlock, double seconds,
                           std::size_t datagramBytes) {
    constexpr int kReceivers = 10;
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<int> receivers;
    std::vector<sockaddr_in> addresses;
    for (int i = 0; i < kReceivers; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        receivers.push_back(fd);
        addresses.push_back(address);
    }
    std::atomic<bool> running{true};
    std::thread drain([&] {
        std::uint8_t buffer[2048];
        while (running) {
            for (int fd : receivers) {
                while (recv(fd, buffer, sizeof buffer, 0) > 0) {
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::uint8_t> datagram(datagramBytes);
    std::size_t index = 0;
    int nextReceiver = 0;
    double spent = pacedCpuSeconds(
        static_cast<int>(datagramsPerBlock.size()), seconds,
        [&]() -> const int& { return datagramsPerBlock[index++]; },
        [&](int count) {
            for (int i = 0; i < count; ++i) {
                const sockaddr_in& to = addresses[nextReceiver];
                nextReceiver = (nextReceiver + 1) % kReceivers;
                sendto(sender, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
        });
    running = false;
    drain.join();
    for (int fd : receivers) close(fd);
    close(sender);
    return spent;
}

}  // namespace quavelink::bench
