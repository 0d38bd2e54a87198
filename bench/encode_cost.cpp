// The yardsticks of bench/run-server-cost.sh, measured while a server runs beside them: the
// CPU time of the three Opus encodes alone on the signal the servers stream, and of the bare
// UDP datagrams that ten clients of mixed rate codes cost, both at the stream's pace.
// Usage: encode_cost SIGNAL.raw SECONDS (SIGNAL: 48000 Hz stereo signed 16-bit little-endian)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <thread>
#include <vector>

#include "paced_cost.h"
#include "server/opus_encoders.h"
#include "server/wire_format.h"

using namespace quavelink;
using quavelink::bench::bareDatagramSeconds;
using quavelink::bench::pacedCpuSeconds;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: encode_cost SIGNAL.raw SECONDS\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<char> signal{std::istreambuf_iterator<char>(file), {}};
    const double seconds = std::atof(argv[2]);
    const std::size_t blockBytes = kOpusBlockFrames * 4;
    if (signal.size() < blockBytes || seconds <= 0) {
        std::fprintf(stderr, "encode_cost: no signal in %s\n", argv[1]);
        return 2;
    }

    // The compressed stream's blocks, the signal repeating when it is shorter than the run.
    const int opusBlocks = static_cast<int>(seconds * 48000 / kOpusBlockFrames);
    std::size_t offset = 0;
    std::vector<std::int16_t> pcm(kOpusBlockFrames * 2);
    auto nextBlock = [&]() -> std::vector<std::int16_t>& {
        if (offset + blockBytes > signal.size()) offset = 0;
        std::memcpy(pcm.data(), signal.data() + offset, blockBytes);
        offset += blockBytes;
        return pcm;
    };

    // Both yardsticks run at once, each on its own thread, so that they meet the same machine
    // as the server measured beside them.
    double encodeCpu = 0;
    std::thread encoding([&] {
        OpusEncoders encoders;
        std::vector<std::uint8_t> packet(kMaxOpusPacketBytes);
        encodeCpu = pacedCpuSeconds(opusBlocks, seconds, nextBlock, [&](auto& block) {
            for (int rateCode = 1; rateCode <= kOpusRateCodeCount; ++rateCode) {
                encoders.encode(rateCode, block.data(), packet.data(), kMaxOpusPacketBytes);
            }
        });
    });

    // Ten clients, as the servers get them: two of the uncompressed stream (about 142 messages
    // a second each) and eight of the compressed one (100 a second each), in the order in which
    // the capture engine hands over the blocks of the two streams.
    std::vector<int> datagrams;
    long frame = 0;
    long plainDue = kPlainBlockFrames, opusDue = kOpusBlockFrames;
    while (frame < static_cast<long>(seconds * 48000)) {
        ++frame;
        if (frame == plainDue) {
            datagrams.push_back(2);
            plainDue += kPlainBlockFrames;
        }
        if (frame == opusDue) {
            datagrams.push_back(8);
            opusDue += kOpusBlockFrames;
        }
    }
    const double datagramCpu = bareDatagramSeconds(datagrams, seconds, kPlainBlockLength);
    encoding.join();

    const double audioSeconds = opusBlocks * kOpusBlockFrames / 48000.0;
    std::printf("three Opus encodes alone: %.3f s CPU per minute of audio\n",
                encodeCpu / audioSeconds * 60);
    std::printf("bare UDP, ten clients:    %.3f s CPU per minute of audio (%d datagrams)\n",
                datagramCpu / audioSeconds * 60,
                std::accumulate(datagrams.begin(), datagrams.end(), 0));
    return 0;
}
