#include <algorithm>

#include "platform/audio/audio_system.h"

namespace quavelink::audio {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

MixFormat FloatMixFormat(std::uint16_t channels, std::uint32_t samplesPerSec,
                         std::uint32_t channelMask) {
    MixFormat format;
    format.channels = channels;
    format.samplesPerSec = samplesPerSec;
    format.bitsPerSample = 32;
    format.validBitsPerSample = 32;
    format.blockAlign = static_cast<std::uint16_t>(channels * 4);
    format.avgBytesPerSec = samplesPerSec * format.blockAlign;
    format.channelMask = channelMask;
    return format;
}

std::vector<std::uint8_t> FormatBytes(const MixFormat& format) {
    std::vector<std::uint8_t> out;
    out.reserve(40);
    put16(out, format.formatTag);
    put16(out, format.channels);
    put32(out, format.samplesPerSec);
    put32(out, format.avgBytesPerSec);
    put16(out, format.blockAlign);
    put16(out, format.bitsPerSample);
    put16(out, format.cbSize);
    std::vector<std::uint8_t> extension;
    put16(extension, format.validBitsPerSample);
    put32(extension, format.channelMask);
    extension.insert(extension.end(), format.subFormat.begin(), format.subFormat.end());
    std::size_t extra = std::min<std::size_t>(format.cbSize, extension.size());
    out.insert(out.end(), extension.begin(), extension.begin() + static_cast<long>(extra));
    return out;
}

}  // namespace quavelink::audio
