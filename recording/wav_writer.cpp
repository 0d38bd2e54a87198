#include "recording/wav_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"

namespace quavelink {
namespace {

// One per thread, so that recorders with locks of their own never write into each other's.
thread_local std::uint8_t packageBuffer[4];

constexpr std::uint64_t kLargestField = 0xFFFFFFFFu;
// RIFF size counts everything after its own field: the rest of the header and the audio.
constexpr std::uint64_t kRiffOverhead = kWavHeaderBytes - 8;

int writeBytes(int fd, const void* bytes, std::size_t count) {
    ssize_t written;
    do {
        written = ::write(fd, bytes, count);
    } while (written < 0 && errno == EINTR);
    return written > 0 ? static_cast<int>(written) : 0;
}

int writeText(int fd, const char* fourCharacters) { return writeBytes(fd, fourCharacters, 4); }

int writePackaged(int fd, std::uint64_t value, int width) {
    // The fields are unsigned on disk; the cast keeps the bit pattern of values above 2^31.
    return writeBytes(
        fd, PackageInt(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)), width),
        static_cast<std::size_t>(width));
}

}  // namespace

const std::uint8_t* PackageInt(std::int32_t value, int width) {
    std::memset(packageBuffer, 0, sizeof packageBuffer);
    if (width != 2 && width != 4) {
        logLine("PackageInt(): length must be either 2 or 4\n");
        std::abort();
    }
    auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < width; ++i) packageBuffer[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return packageBuffer;
}

int writeWavHeader(int fd, std::uint32_t dataLength, int channels, std::int32_t sampleRate) {
    std::uint64_t riffSize = std::min<std::uint64_t>(dataLength + kRiffOverhead, kLargestField);
    int total = 0;
    total += writeText(fd, "RIFF");
    total += writePackaged(fd, riffSize, 4);
    total += writeText(fd, "WAVE");
    total += writeText(fd, "fmt ");
    total += writePackaged(fd, 16, 4);
    total += writePackaged(fd, 1, 2);
    total += writePackaged(fd, static_cast<std::uint64_t>(channels), 2);
    total += writePackaged(fd, static_cast<std::uint64_t>(sampleRate), 4);
    total += writePackaged(fd, static_cast<std::uint64_t>(channels) * sampleRate * 2, 4);
    total += writePackaged(fd, static_cast<std::uint64_t>(channels) * 2, 2);
    total += writePackaged(fd, 16, 2);
    total += writeText(fd, "data");
    total += writePackaged(fd, dataLength, 4);
    return total;
}

int finishWavHeader(int fd) { return finishWavHeaderAt(fd, ::lseek(fd, 0, SEEK_CUR)); }

namespace {

std::uint64_t dataLengthBefore(std::int64_t endPosition) {
    return endPosition > kWavHeaderBytes ? static_cast<std::uint64_t>(endPosition - kWavHeaderBytes)
                                         : 0;
}

}  // namespace

int finishWavHeaderAt(int fd, std::int64_t endPosition) {
    std::uint64_t dataLength = dataLengthBefore(endPosition);
    if (dataLength + kRiffOverhead > kLargestField) {
        // A reader that trusts the header would otherwise see a wrapped, far too short length.
        logLine(
            "finishWavHeader: %llu bytes of audio do not fit the 32-bit WAV length fields, "
            "which are set to their largest value\n",
            static_cast<unsigned long long>(dataLength));
    }
    return patchWavLengths(fd, endPosition);
}

int patchWavLengths(int fd, std::int64_t endPosition) {
    std::uint64_t dataLength = dataLengthBefore(endPosition);
    int total = 0;
    if (::lseek(fd, 4, SEEK_SET) == 4) {
        total += writePackaged(fd, std::min(dataLength + kRiffOverhead, kLargestField), 4);
    }
    if (::lseek(fd, 40, SEEK_SET) == 40) {
        total += writePackaged(fd, std::min(dataLength, kLargestField), 4);
    }
    return total;
}

}  // namespace quavelink
