#include <unistd.h>

#include <cerrno>

#include "recording/record_encoder.h"
#include "recording/wav_writer.h"

namespace quavelink {

EncoderStatus WavRecordEncoder::start(int fd, std::int32_t sampleRate, std::int32_t) {
    errno = 0;
    if (writeWavHeader(fd, 0, 2, sampleRate) != kWavHeaderBytes) {
        // The audio is still worth having; the header can be mended by hand later.
        return {true, {"Error, could not write WAV file header"}, errno};
    }
    return {};
}

EncoderStatus WavRecordEncoder::encode(int fd, const std::uint8_t* pcm, std::int32_t length) {
    std::int32_t done = 0;
    while (done < length) {
        ssize_t written = ::write(fd, pcm + done, static_cast<std::size_t>(length - done));
        if (written < 0 && errno == EINTR) continue;
        // A write that makes no progress on a regular file has found no room.
        if (written <= 0) return {false, {"WAV write error"}, written < 0 ? errno : ENOSPC};
        done += static_cast<std::int32_t>(written);
    }
    return {};
}

void WavRecordEncoder::checkpoint(int fd) {
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end <= kWavHeaderBytes) return;
    patchWavLengths(fd, end);
    ::lseek(fd, end, SEEK_SET);
}

EncoderStatus WavRecordEncoder::finish(int fd, const std::string&) {
    errno = 0;
    if (finishWavHeader(fd) != 8) {
        return {false,
                {"Error, could not finalize WAV file header, file may not play properly"},
                errno};
    }
    return {};
}

}  // namespace quavelink
