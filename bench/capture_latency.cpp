// End-to-end capture latency on a private PulseAudio daemon: a click written into a
// low-latency playback stream on a null sink, to the moment a client on 127.0.0.1 holds the
// block that carries it (PCM), or whose decoded audio carries it (Opus at 256 kbit/s).
// Prints the median and the 99th percentile of each over the clicks.
#include <opus/opus.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "captured_stream.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "test_client.h"

using namespace quavelink;
using namespace quavelink::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;
constexpr int kClickEveryFrames = kRate / 5;  // 200 ms apart
constexpr int kClickFrames = 96;              // 2 ms
constexpr double kThreshold = 0.1;

struct Arrival {
    Clock::time_point when;
    std::vector<float> left;  // the block's left channel, decoded
};

// Onset blocks: the arrival time of each block where the signal rises above the threshold
// after at least 100 ms below it.
std::vector<Clock::time_point> onsets(const std::vector<Arrival>& blocks) {
    std::vector<Clock::time_point> out;
    long quiet = kRate;
    for (const Arrival& block : blocks) {
        bool found = false;
        for (float x : block.left) {
            if (std::fabs(x) > kThreshold) {
                if (quiet >= kRate / 10 && !found) {
                    out.push_back(block.when);
                    found = true;
                }
                quiet = 0;
            } else {
                ++quiet;
            }
        }
    }
    return out;
}

// Latency of each click: from its write to the first onset that arrived after it.
std::vector<double> latencies(const std::vector<Clock::time_point>& writes,
                              const std::vector<Clock::time_point>& arrivals) {
    std::vector<double> out;
    std::size_t next = 0;
    for (Clock::time_point written : writes) {
        while (next < arrivals.size() && arrivals[next] < written) ++next;
        if (next == arrivals.size()) break;
        double ms = std::chrono::duration<double, std::milli>(arrivals[next] - written).count();
        if (ms < 150) {
            out.push_back(ms);
            ++next;
        }
    }
    return out;
}

void report(const char* name, std::vector<double> values, std::size_t clicks) {
    if (values.empty()) {
        std::printf("%-18s no clicks detected\n", name);
        return;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1,
                               static_cast<std::size_t>(q * (values.size() - 1) + 0.5))];
    };
    std::printf("%-18s clicks %3zu/%zu  median %6.2f ms  p99 %6.2f ms  min %6.2f  max %6.2f\n",
                name, values.size(), clicks, at(0.5), at(0.99), values.front(), values.back());
}

}  // namespace

int main(int argc, char** argv) {
    int clicks = argc > 1 ? std::max(50, std::atoi(argv[1])) : 60;

    PulseDaemon daemon({"module-null-sink sink_name=bench rate=48000"});
    if (!daemon.ready()) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    CapturedStream stream;
    if (!stream.start()) return 1;

    // The click stream: zeros, and every 200 ms a 2 ms burst, written 1 ms at a time into a
    // 5 ms buffer. A click counts as written when the write that holds its first frame returns.
    std::mutex mutex;
    std::vector<Clock::time_point> writes;
    PulsePlayer::Options options;
    options.bufferMs = 5;
    options.chunkFrames = kRate / 1000;
    const long firstClick = kRate;  // after a second of warm-up
    auto generate = [&](float* out, int frames, long first) {
        for (int i = 0; i < frames; ++i) {
            long frame = first + i;
            long phase = (frame - firstClick) % kClickEveryFrames;
            float value = 0;
            if (frame >= firstClick && phase < kClickFrames) value = (phase / 4) % 2 ? 0.6f : -0.6f;
            out[2 * i] = out[2 * i + 1] = value;
        }
    };
    auto written = [&](long end) {
        long last = end - 1;
        if (last < firstClick) return;
        long phase = (last - firstClick) % kClickEveryFrames;
        if (phase < options.chunkFrames) {
            std::lock_guard lock(mutex);
            writes.push_back(Clock::now());
        }
    };

    if (!stream.startCapture()) return 1;
    TestClient pcm(stream.port, 1 | CONNECT_FLAG_SHARED);
    TestClient opus(stream.port, 1 | CONNECT_FLAG_SHARED);
    for (int i = 0; i < 500 && !(pcm.connected() && opus.connected()); ++i) {
        pcm.service(1);
        opus.service(1);
    }
    pcm.sendDataRequest(0, "pcm");
    opus.sendDataRequest(3u << kRateCodeShift, "opus256");

    std::vector<Arrival> pcmBlocks, opusBlocks;
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kRate, 2, &error);
    std::vector<opus_int16> decoded(480 * 2);
    {
        PulsePlayer player("bench", options, generate, written);
        auto end = Clock::now() + std::chrono::milliseconds(3500 + 200 * (clicks + 1));
        while (Clock::now() < end) {
            pcm.service(0);
            opus.service(0);
            auto now = Clock::now();
            for (auto& m : pcm.messages()) {
                Arrival a{now, {}};
                for (std::size_t b = 0; b + 3 < m.payload.size(); b += 4) {
                    a.left.push_back(
                        static_cast<std::int16_t>(m.payload[b] | m.payload[b + 1] << 8) / 32768.0f);
                }
                pcmBlocks.push_back(std::move(a));
            }
            pcm.messages().clear();
            for (auto& m : opus.messages()) {
                int frames =
                    opus_decode(decoder, m.payload.data(),
                                static_cast<opus_int32>(m.payload.size()), decoded.data(), 480, 0);
                Arrival a{now, {}};
                for (int f = 0; f < frames; ++f) a.left.push_back(decoded[2 * f] / 32768.0f);
                opusBlocks.push_back(std::move(a));
            }
            opus.messages().clear();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!player.ok()) std::fprintf(stderr, "the click stream failed\n");
    }
    opus_decoder_destroy(decoder);
    stream.startup.stopCapture();

    std::vector<Clock::time_point> clickWrites;
    {
        std::lock_guard lock(mutex);
        clickWrites = writes;
    }
    std::printf("capture latency, click write to client, %zu clicks at 48 kHz on a null sink\n",
                clickWrites.size());
    report("PCM", latencies(clickWrites, onsets(pcmBlocks)), clickWrites.size());
    report("Opus 256 kbit/s", latencies(clickWrites, onsets(opusBlocks)), clickWrites.size());
    return 0;
}
