#include "client/playout/resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quavelink {
namespace {
// The ratio's denominator. The library rescales its phase by new/old denominator in 32 bits,
// so both must stay within 16 bits: steps of 15 ppm.
constexpr spx_uint32_t kScale = 65536;
// A 100 dB stop band and a pass band to about 92 % of the Nyquist frequency: 20 kHz at 44.1 kHz.
constexpr int kQuality = 5;
}  // namespace

// The two rates a stream comes at. Each has its state made at construction: a state made or
// freed at a stream's start would allocate on the output's real-time thread.
constexpr int kRates[] = {44100, 48000};

struct Resampler::State {
    SpeexResamplerState* prepared[2] = {nullptr, nullptr};
    SpeexResamplerState* other = nullptr;  // a rate outside those two, made when met
    SpeexResamplerState* speex = nullptr;  // in use
};

namespace {
SpeexResamplerState* make(int sampleRate) {
    int error = 0;
    auto r = static_cast<spx_uint32_t>(sampleRate);
    SpeexResamplerState* made =
        speex_resampler_init_frac(2, kScale + 1, kScale, r, r, kQuality, &error);
    if (made == nullptr || error != RESAMPLER_ERR_SUCCESS) return nullptr;
    // Set up with a ratio of its interpolating kind first: that takes the memory for every
    // later ratio now, rather than on the playback path when the first correction comes.
    speex_resampler_set_rate_frac(made, kScale, kScale, r, r);
    return made;
}
}  // namespace

Resampler::Resampler() : state(new State) {
    for (int i = 0; i < 2; ++i) state->prepared[i] = make(kRates[i]);
}

Resampler::~Resampler() {
    for (SpeexResamplerState* s : state->prepared) {
        if (s != nullptr) speex_resampler_destroy(s);
    }
    if (state->other != nullptr) speex_resampler_destroy(state->other);
    delete state;
}

bool Resampler::reset(int sampleRate) {
    rate = sampleRate;
    applied = appliedSteps = 0;
    state->speex = nullptr;
    for (int i = 0; i < 2; ++i) {
        if (kRates[i] == sampleRate) state->speex = state->prepared[i];
    }
    if (state->speex == nullptr) {
        if (state->other != nullptr) speex_resampler_destroy(state->other);
        state->other = make(sampleRate);
        state->speex = state->other;
    }
    if (state->speex == nullptr) return false;
    auto r = static_cast<spx_uint32_t>(sampleRate);
    speex_resampler_reset_mem(state->speex);
    speex_resampler_set_rate_frac(state->speex, kScale, kScale, r, r);
    speex_resampler_skip_zeros(state->speex);
    return true;
}

void Resampler::setCorrectionPpm(double ppm) {
    long steps = std::lround(std::clamp(ppm, -100000.0, 100000.0) * 1e-6 * kScale);
    if (steps == appliedSteps || state->speex == nullptr) return;
    appliedSteps = steps;
    applied = static_cast<double>(steps) * 1e6 / kScale;
    auto r = static_cast<spx_uint32_t>(rate);
    speex_resampler_set_rate_frac(state->speex, static_cast<spx_uint32_t>(kScale + steps), kScale,
                                  r, r);
}

void Resampler::process(const std::int16_t* in, std::size_t& inFrames, std::int16_t* out,
                        std::size_t& outFrames) {
    if (state->speex == nullptr) {
        std::size_t n = std::min(inFrames, outFrames);
        std::memcpy(out, in, n * 4);
        inFrames = outFrames = n;
        return;
    }
    auto inLength = static_cast<spx_uint32_t>(inFrames);
    auto outLength = static_cast<spx_uint32_t>(outFrames);
    speex_resampler_process_interleaved_int(state->speex, in, &inLength, out, &outLength);
    inFrames = inLength;
    outFrames = outLength;
}

std::size_t Resampler::delayFrames() const {
    if (state->speex == nullptr) return 0;
    return static_cast<std::size_t>(speex_resampler_get_input_latency(state->speex));
}

}  // namespace quavelink
