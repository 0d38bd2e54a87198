#pragma once

#include <cmath>
#include <cstdint>

namespace quavelink {

//! A float sample (full scale ±1.0) as a 16-bit sample: rounded half away from zero after
//! scaling by 32767. Samples beyond full scale saturate at ±32767; NaN becomes 0.
inline std::int16_t toPcm16(float sample) {
    double scaled = static_cast<double>(sample) * 32767.0;
    if (std::isnan(scaled)) return 0;
    scaled += scaled > 0 ? 0.5 : -0.5;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32767.0) return -32767;
    return static_cast<std::int16_t>(scaled);
}

//! The source channel pair a packet is read from: `requested` for formats of 4 or more
//! channels when the format has that pair, pair 0 otherwise.
inline int chooseChannelPair(int channels, int requested) {
    if (channels < 4) return 0;
    if (requested < 0 || requested > channels / 2 - 1) return 0;
    return requested;
}

}  // namespace quavelink
