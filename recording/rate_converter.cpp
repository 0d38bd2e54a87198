#include "recording/rate_converter.h"

#include <speex/speex_resampler.h>

namespace quavelink {
namespace {

// Far more than a recording needs to sound clean, and a small share of a core at these rates on
// the record thread.
constexpr int kQuality = SPEEX_RESAMPLER_QUALITY_DESKTOP;

}  // namespace

struct RateConverter::State {
    SpeexResamplerState* speex = nullptr;
};

RateConverter::~RateConverter() { reset(); }

void RateConverter::reset() {
    if (!state) return;
    speex_resampler_destroy(state->speex);
    delete state;
    state = nullptr;
}

bool RateConverter::convert(const std::int16_t* in, std::size_t frames, int fromRate, int toRate,
                            std::vector<std::int16_t>& out) {
    if (fromRate <= 0 || toRate <= 0) return false;
    if (state && (fromRate != from || toRate != to)) reset();
    if (!state) {
        int error = 0;
        SpeexResamplerState* speex =
            speex_resampler_init(2, static_cast<spx_uint32_t>(fromRate),
                                 static_cast<spx_uint32_t>(toRate), kQuality, &error);
        if (!speex) return false;
        // The filter starts on silence; without this the converted audio would begin with its
        // delay's worth of it.
        speex_resampler_skip_zeros(speex);
        state = new State{speex};
        from = fromRate;
        to = toRate;
    }
    while (frames > 0) {
        const std::size_t room =
            frames * static_cast<std::size_t>(toRate) / static_cast<std::size_t>(fromRate) + 16;
        const std::size_t start = out.size();
        out.resize(start + 2 * room);
        auto inFrames = static_cast<spx_uint32_t>(frames);
        auto outFrames = static_cast<spx_uint32_t>(room);
        speex_resampler_process_interleaved_int(state->speex, in, &inFrames, out.data() + start,
                                                &outFrames);
        out.resize(start + 2 * static_cast<std::size_t>(outFrames));
        if (inFrames == 0 && outFrames == 0) break;
        in += 2 * static_cast<std::size_t>(inFrames);
        frames -= inFrames;
    }
    return true;
}

}  // namespace quavelink
