// What the block pipeline costs beyond the Opus encoding it cannot avoid: ten clients over
// loopback ENet, every rate code, reliable and best-effort mixed, fed at the stream's own pace.
// The baseline is the three encoders alone on the same blocks, measured in the same run.
#include <enet/enet.h>
#include <opus/opus.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "server_harness.h"

using namespace quavelink;
using namespace quavelink::test;

namespace {

double threadCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// Feeds `blockCount` blocks at the stream's pace to `handle`, and returns the CPU time that
// `handle` took on this thread. Both sides of the comparison run this way, so that both meet
// caches that the rest of the machine has had time to cool between blocks.
template <typename Handle>
double pacedCpuSeconds(int blockCount, double seconds, Handle handle) {
    ToneBlocks tone(1000.0, 48000);
    double spent = 0;
    auto due = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration<double>(seconds / blockCount);
    for (int i = 0; i < blockCount; ++i) {
        auto& block = tone.next();
        double start = threadCpuSeconds();
        handle(block);
        spent += threadCpuSeconds() - start;
        due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(due);
    }
    return spent;
}

// The kernel's share: one plain UDP datagram per message the pipeline sent, to ten loopback
// sockets that a thread drains the way the clients do. No transport can go below this.
double bareDatagramSeconds(int blockCount, double seconds, const int (&rateCodes)[10]) {
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<int> receivers;
    std::vector<sockaddr_in> addresses;
    for (int i = 0; i < 10; ++i) {
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
    std::uint8_t datagram[kPlainBlockLength] = {};
    double spent = pacedCpuSeconds(blockCount, seconds, [&](auto& block) {
        const bool compressed = block.size() == static_cast<std::size_t>(kOpusBlockLength);
        for (int i = 0; i < 10; ++i) {
            if ((rateCodes[i] != 0) != compressed) continue;
            sendto(sender, datagram, sizeof datagram, 0,
                   reinterpret_cast<const sockaddr*>(&addresses[i]), sizeof addresses[i]);
        }
    });
    running = false;
    drain.join();
    for (int fd : receivers) close(fd);
    close(sender);
    return spent;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ServerHarness harness;

    // Rate codes 0..3 and both delivery modes, as a household of clients would pick them.
    const int rateCodes[10] = {0, 1, 2, 3, 0, 1, 2, 3, 1, 3};
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(harness.connect(1 | CONNECT_FLAG_SHARED));
        std::uint32_t flags = (i % 2 == 0 ? FLAG_RELIABLE : 0) |
                              static_cast<std::uint32_t>(rateCodes[i]) << kRateCodeShift;
        clients.back()->sendDataRequest(flags, "bench " + std::to_string(i));
    }
    for (int i = 0; i < 200; ++i) harness.step({});

    // The clients listen on their own thread, as they would on their own devices.
    std::atomic<bool> running{true};
    std::atomic<long> received{0};
    std::thread listeners([&] {
        while (running) {
            for (auto& client : clients) {
                client->service(0);
                received += static_cast<long>(client->messages().size());
                client->messages().clear();
            }
            // A player wakes about as often as it gets audio, not in a busy loop.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    const int blockCount = static_cast<int>(seconds * (48000.0 / 338 + 48000.0 / 480));
    int opusBlocks = 0;
    const double pipelineCpu = pacedCpuSeconds(blockCount, seconds, [&](auto& block) {
        opusBlocks += block.size() == static_cast<std::size_t>(kOpusBlockLength);
        harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
    });
    running = false;
    listeners.join();

    OpusEncoders encoders;
    std::vector<std::uint8_t> packet(kMaxOpusPacketBytes);
    const double baselineCpu = pacedCpuSeconds(blockCount, seconds, [&](auto& block) {
        if (block.size() != static_cast<std::size_t>(kOpusBlockLength)) return;
        const auto* pcm = reinterpret_cast<const std::int16_t*>(block.data() + 16);
        for (int rateCode = 1; rateCode <= 3; ++rateCode) {
            encoders.encode(rateCode, pcm, packet.data(), kMaxOpusPacketBytes);
        }
    });
    const double floorCpu = bareDatagramSeconds(blockCount, seconds, rateCodes);
    const double audioSeconds = opusBlocks * kOpusBlockFrames / 48000.0;
    std::printf("audio streamed:           %.1f s (%d blocks, %d compressed)\n", audioSeconds,
                blockCount, opusBlocks);
    std::printf("messages received:        %ld by 10 clients\n", received.load());
    std::printf("pipeline CPU:             %.2f ms per second of audio\n",
                pipelineCpu / audioSeconds * 1000);
    std::printf("three Opus encodes alone: %.2f ms per second of audio\n",
                baselineCpu / audioSeconds * 1000);
    std::printf("same datagrams, bare UDP: %.2f ms per second of audio\n",
                floorCpu / audioSeconds * 1000);
    std::printf("ratio pipeline/encodes:   %.3f (target 1.10 or less)\n", pipelineCpu / baselineCpu);
    std::printf("lowest ratio any UDP transport could reach here: %.3f\n",
                (baselineCpu + floorCpu) / baselineCpu);
    return 0;
}
