#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quavelink::testing {

//! Interleaved stereo 16-bit little-endian PCM of a sine at `hz`, frames [firstFrame,
//! firstFrame + frames) of one continuous tone, so that consecutive calls join seamlessly.
std::vector<std::uint8_t> stereoTone(double hz, int sampleRate, std::int64_t firstFrame,
                                     int frames);

//! What sox makes of an audio file.
struct SoxReport {
    bool readable = false;  //!< sox opened and read the whole file
    int sampleRate = 0;
    int channels = 0;
    std::int64_t frames = 0;    //!< sample frames sox decoded
    double roughFrequency = 0;  //!< Hz, from `sox ... stat`
    std::string output;         //!< everything sox printed, for failure messages
};

//! Reads `path` with sox and soxi.
SoxReport inspectWithSox(const std::filesystem::path& path);

//! The whole content of `path`.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);

//! Little-endian 32-bit value at `offset` of `bytes`.
std::uint32_t le32At(const std::vector<std::uint8_t>& bytes, std::size_t offset);

}  // namespace quavelink::testing
