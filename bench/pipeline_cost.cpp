// What the block pipeline costs beyond the Opus encoding it cannot avoid: ten clients over
// loopback ENet, every rate code, reliable and best-effort mixed, fed at the stream's own pace.
// The baseline is the three encoders alone on the same blocks, measured in the same run.
#include <enet/enet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "listening_clients.h"
#include "paced_cost.h"
#include "server_harness.h"

using namespace quavelink;
using namespace quavelink::test;
using quavelink::bench::bareDatagramSeconds;
using quavelink::bench::ListeningClients;
using quavelink::bench::pacedCpuSeconds;

namespace {

// The datagrams each block of `blockCount` costs the clients of `rateCodes`: one per client
// of its stream.
std::vector<int> datagramsPerBlock(int blockCount, const int (&rateCodes)[10]) {
    ToneBlocks tone(1000.0, 48000);
    std::vector<int> counts;
    for (int i = 0; i < blockCount; ++i) {
        const bool compressed = tone.next().size() == static_cast<std::size_t>(kOpusBlockLength);
        int count = 0;
        for (int rateCode : rateCodes) count += (rateCode != 0) == compressed;
        counts.push_back(count);
    }
    return counts;
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

    ListeningClients listeners(clients, "bench-clients");

    const int blockCount = static_cast<int>(seconds * (48000.0 / 338 + 48000.0 / 480));
    int opusBlocks = 0;
    ToneBlocks tone(1000.0, 48000);
    auto nextBlock = [&]() -> std::vector<std::uint8_t>& { return tone.next(); };
    const double pipelineCpu = pacedCpuSeconds(blockCount, seconds, nextBlock, [&](auto& block) {
        opusBlocks += block.size() == static_cast<std::size_t>(kOpusBlockLength);
        harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
    });
    listeners.stop();

    OpusEncoders encoders;
    std::vector<std::uint8_t> packet(kMaxOpusPacketBytes);
    tone = ToneBlocks(1000.0, 48000);
    const double baselineCpu = pacedCpuSeconds(blockCount, seconds, nextBlock, [&](auto& block) {
        if (block.size() != static_cast<std::size_t>(kOpusBlockLength)) return;
        const auto* pcm = reinterpret_cast<const std::int16_t*>(block.data() + 16);
        for (int rateCode = 1; rateCode <= 3; ++rateCode) {
            encoders.encode(rateCode, pcm, packet.data(), kMaxOpusPacketBytes);
        }
    });
    const double floorCpu =
        bareDatagramSeconds(datagramsPerBlock(blockCount, rateCodes), seconds, kPlainBlockLength);
    const double audioSeconds = opusBlocks * kOpusBlockFrames / 48000.0;
    std::printf("audio streamed:           %.1f s (%d blocks, %d compressed)\n", audioSeconds,
                blockCount, opusBlocks);
    std::printf("messages received:        %ld by 10 clients\n", listeners.received());
    std::printf("pipeline CPU:             %.2f ms per second of audio\n",
                pipelineCpu / audioSeconds * 1000);
    std::printf("three Opus encodes alone: %.2f ms per second of audio\n",
                baselineCpu / audioSeconds * 1000);
    std::printf("same datagrams, bare UDP: %.2f ms per second of audio\n",
                floorCpu / audioSeconds * 1000);
    std::printf("ratio pipeline/encodes:   %.3f (target 1.10 or less)\n",
                pipelineCpu / baselineCpu);
    std::printf("lowest ratio any UDP transport could reach here: %.3f\n",
                (baselineCpu + floorCpu) / baselineCpu);
    return 0;
}
