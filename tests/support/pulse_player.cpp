#include "pulse_player.h"

#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quavelink::test {

PulsePlayer::PulsePlayer(const std::string& sink, Options options, Generator generate,
                         Written written) {
    thread = std::thread([this, sink, options, generate = std::move(generate),
                          written = std::move(written)] {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(options.rate),
                            static_cast<std::uint8_t>(options.channels)};
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(options.bufferMs) * 1000, &spec));
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        pa_channel_map map;
        const bool mapped = !options.channelMap.empty() &&
                            pa_channel_map_parse(&map, options.channelMap.c_str()) != nullptr;
        int error = 0;
        pa_simple* stream =
            pa_simple_new(nullptr, "QuaveLink test player", PA_STREAM_PLAYBACK, sink.c_str(),
                          "test", &spec, mapped ? &map : nullptr, &attr, &error);
        if (!stream) {
            failed = true;
            return;
        }
        std::vector<float> chunk(static_cast<std::size_t>(options.chunkFrames) * options.channels);
        long frame = 0;
        while (!stopping.load()) {
            generate(chunk.data(), options.chunkFrames, frame);
            if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
                failed = true;
                break;
            }
            frame += options.chunkFrames;
            if (written) written(frame);
        }
        pa_simple_free(stream);
    });
}

PulsePlayer::~PulsePlayer() {
    stopping = true;
    thread.join();
}

PulsePlayer::Generator stereoTones(double left, double right, int rate, int channels,
                                   double amplitude) {
    return [=](float* out, int frames, long first) {
        for (int i = 0; i < frames; ++i) {
            double t = static_cast<double>(first + i) / rate;
            for (int c = 0; c < channels; ++c) out[i * channels + c] = 0.0f;
            out[i * channels] = static_cast<float>(amplitude * std::sin(2 * M_PI * left * t));
            if (channels > 1) {
                out[i * channels + 1] =
                    static_cast<float>(amplitude * std::sin(2 * M_PI * right * t));
            }
        }
    };
}

double recordedLevel(const std::string& source, int milliseconds) {
    constexpr int kRate = 48000;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &spec));
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "QuaveLink test recorder", PA_STREAM_RECORD,
                                      source.c_str(), "test", &spec, nullptr, &attr, &error);
    if (!stream) return -1;
    std::vector<float> samples(static_cast<std::size_t>(kRate) * milliseconds / 1000 * 2);
    int read = pa_simple_read(stream, samples.data(), samples.size() * sizeof(float), &error);
    pa_simple_free(stream);
    if (read < 0) return -1;
    const std::size_t last = std::min<std::size_t>(samples.size(), kRate / 5 * 2);
    double sum = 0;
    for (std::size_t i = samples.size() - last; i < samples.size(); ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return last == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(last));
}

}  // namespace quavelink::test
