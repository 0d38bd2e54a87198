// End-to-end capture latency on a private sound server (PulseAudio; PipeWire with
// QUAVELINK_TEST_SOUND_SERVER=pipewire), the capture through the audio system the program would
// choose (QUAVELINK_AUDIO_BACKEND forces one): a click written into a null sink, to the moment a
// client on 127.0.0.1 holds the block that carries it (PCM), or whose decoded audio carries it
// (Opus at 256 kbit/s). The click is written through libpulse into a 5 ms buffer (--writer
// pulse) or by a PipeWire stream of its own at a quantum of N frames (--writer pipewire,
// --writer-quantum N, 128 unless given). Prints the median and the 99th percentile of each over
// the clicks, how evenly the PCM blocks left the server, and the quantum PipeWire ran the
// capture at.
// Usage: capture_latency [clicks, at least 50, default 60] [--writer pulse|pipewire]
//                        [--writer-quantum N]
#include <opus/opus.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "captured_stream.h"
#include "log_capture.h"
#include "pipewire_player.h"
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

// How evenly events of a steady pace came (PCM blocks leaving the server, the writer's graph
// cycles): each against a straight line fitted through all of them after the first `skip` (the
// sound server's clock against the host's), in ms: the width that holds 98 % of them (1st to
// 99th percentile) and the 99th percentile of the distance from the median.
void reportPace(const char* name, const std::vector<Clock::time_point>& all, std::size_t skip) {
    skip = std::min(skip, all.size());
    if (all.size() < skip + 100) {
        std::printf("%-18s too few\n", name);
        return;
    }
    std::vector<double> x, y;
    for (std::size_t i = skip; i < all.size(); ++i) {
        x.push_back(static_cast<double>(i));
        y.push_back(std::chrono::duration<double, std::milli>(all[i] - all[skip]).count());
    }
    const double n = static_cast<double>(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double offset = (sy - slope * sx) / n;
    std::vector<double> residual;
    for (std::size_t i = 0; i < x.size(); ++i) residual.push_back(y[i] - (offset + slope * x[i]));
    std::sort(residual.begin(), residual.end());
    auto at = [](const std::vector<double>& v, double q) {
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))];
    };
    const double median = at(residual, 0.5);
    std::vector<double> distance;
    for (double r : residual) distance.push_back(std::fabs(r - median));
    std::sort(distance.begin(), distance.end());
    std::printf(
        "%-18s %zu, %.3f ms apart; p1 to p99 %.2f ms, p99 from the median %.2f ms, "
        "most %.2f ms\n",
        name, residual.size(), slope, at(residual, 0.99) - at(residual, 0.01), at(distance, 0.99),
        distance.back());
}

}  // namespace

int main(int argc, char** argv) {
    int clicks = 60;
    bool pipeWireWriterChosen = PulseDaemon::configuredKind() == PulseDaemon::Kind::PipeWire;
    unsigned writerQuantum = 128;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--writer") == 0 && i + 1 < argc) {
            pipeWireWriterChosen = std::strcmp(argv[++i], "pipewire") == 0;
        } else if (std::strcmp(argv[i], "--writer-quantum") == 0 && i + 1 < argc) {
            writerQuantum = static_cast<unsigned>(std::max(16, std::atoi(argv[++i])));
        } else {
            clicks = std::max(50, std::atoi(argv[i]));
        }
    }

    PulseDaemon daemon({"module-null-sink sink_name=bench rate=48000"});
    if (!daemon.ready()) {
        std::fprintf(stderr, "the sound server did not start\n");
        return 1;
    }
    LogCapture log;
    CapturedStream stream;
    if (!stream.start()) return 1;

    // The click stream: zeros, and every 200 ms a 2 ms burst. A click counts as written when the
    // write (or the graph cycle) that holds its first frame has been handed over.
    std::mutex mutex;
    std::vector<Clock::time_point> writes;
    writes.reserve(static_cast<std::size_t>(clicks) + 16);
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
    long handedOver = 0;                    // the writer's thread
    std::vector<Clock::time_point> cycles;  // the writer's thread, while it runs
    cycles.reserve(static_cast<std::size_t>(clicks) * 200 + 4000);
    auto written = [&](long end) {
        if (cycles.size() < cycles.capacity()) cycles.push_back(Clock::now());
        long start = handedOver;
        handedOver = end;
        if (end <= firstClick) return;
        long from = std::max(start, firstClick);
        long nextClick =
            firstClick +
            ((from - firstClick + kClickEveryFrames - 1) / kClickEveryFrames) * kClickEveryFrames;
        if (nextClick < end) {
            std::lock_guard lock(mutex);
            if (writes.size() < writes.capacity()) writes.push_back(Clock::now());
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
        std::unique_ptr<PulsePlayer> pulseWriter;
        std::unique_ptr<PipeWirePlayer> pipeWireWriter;
        if (pipeWireWriterChosen) {
            PipeWirePlayer::Options options;
            options.quantumFrames = writerQuantum;
            pipeWireWriter = std::make_unique<PipeWirePlayer>("bench", options, generate, written);
        } else {
            PulsePlayer::Options options;
            options.bufferMs = 5;
            options.chunkFrames = kRate / 1000;
            pulseWriter = std::make_unique<PulsePlayer>("bench", options, generate, written);
        }
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
        if ((pulseWriter && !pulseWriter->ok()) || (pipeWireWriter && !pipeWireWriter->ok())) {
            std::fprintf(stderr, "the click stream failed\n");
        }
    }
    opus_decoder_destroy(decoder);
    stream.startup.stopCapture();

    std::vector<Clock::time_point> clickWrites;
    {
        std::lock_guard lock(mutex);
        clickWrites = writes;
    }
    std::string quantum = "-";
    for (const std::string& line : log.all()) {
        if (line.rfind("PipeWire runs the capture at ", 0) == 0) quantum = line.substr(29);
    }
    if (!quantum.empty() && quantum.back() == '\n') quantum.pop_back();
    std::printf(
        "capture latency, click write to client, %zu clicks at 48 kHz on a null sink of "
        "%s, captured through %s, written by %s; PipeWire ran the capture at %s\n",
        clickWrites.size(), daemon.isPipeWire() ? "PipeWire" : "PulseAudio",
        soundServerApiName(chooseSoundServerApi()),
        pipeWireWriterChosen
            ? ("a PipeWire stream at " + std::to_string(writerQuantum) + " frames").c_str()
            : "libpulse, 5 ms buffer",
        quantum.c_str());
    report("PCM", latencies(clickWrites, onsets(pcmBlocks)), clickWrites.size());
    report("Opus 256 kbit/s", latencies(clickWrites, onsets(opusBlocks)), clickWrites.size());
    reportPace("PCM departures", stream.sink.departures, kRate / 338);
    if (pipeWireWriterChosen) reportPace("writer's cycles", cycles, kRate / writerQuantum);
    return 0;
}
