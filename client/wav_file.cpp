#include "client/wav_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace quavelink {
namespace {

constexpr int kChannels = 2;
constexpr int kBytesPerFrame = kChannels * 2;

void put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t clamp32(std::uint64_t value) {
    return value > std::numeric_limits<std::uint32_t>::max()
               ? std::numeric_limits<std::uint32_t>::max()
               : static_cast<std::uint32_t>(value);
}

void fillHeader(std::uint8_t* header, int sampleRate, std::uint64_t dataBytes) {
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, clamp32(dataBytes + 36));
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, 1);  // PCM
    put16(header + 22, kChannels);
    put32(header + 24, static_cast<std::uint32_t>(sampleRate));
    put32(header + 28, static_cast<std::uint32_t>(sampleRate) * kBytesPerFrame);
    put16(header + 32, kBytesPerFrame);
    put16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, clamp32(dataBytes));
}

}  // namespace

bool WavFile::open(const std::string& path, int sampleRate, std::string& error) {
    close();
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    rate = sampleRate;
    written = 0;
    std::uint8_t header[44];
    fillHeader(header, rate, 0);
    if (std::fwrite(header, 1, sizeof header, file) != sizeof header) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::fclose(file);
        file = nullptr;
        return false;
    }
    return true;
}

bool WavFile::write(const std::int16_t* samples, std::size_t frames, std::string& error) {
    if (file == nullptr) return false;
    std::uint8_t buffer[4096];
    std::size_t samplesLeft = frames * kChannels;
    while (samplesLeft > 0) {
        std::size_t chunk = std::min<std::size_t>(samplesLeft, sizeof buffer / 2);
        for (std::size_t i = 0; i < chunk; ++i) {
            put16(buffer + 2 * i, static_cast<std::uint16_t>(samples[i]));
        }
        if (std::fwrite(buffer, 2, chunk, file) != chunk) {
            error = std::string("WAV write failed: ") + std::strerror(errno);
            close();
            return false;
        }
        samples += chunk;
        samplesLeft -= chunk;
        written += chunk * 2;
    }
    return true;
}

void WavFile::close() {
    if (file == nullptr) return;
    std::uint8_t header[44];
    fillHeader(header, rate, written);
    if (std::fseek(file, 0, SEEK_SET) == 0) std::fwrite(header, 1, sizeof header, file);
    std::fclose(file);
    file = nullptr;
}

}  // namespace quavelink
