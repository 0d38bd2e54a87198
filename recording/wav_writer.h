#pragma once

#include <cstdint>

namespace quavelink {

//! Size of the canonical RIFF/WAVE header that starts every WAV recording.
constexpr int kWavHeaderBytes = 44;

//! Returns the calling thread's one 4-byte buffer holding the low `width` bytes (2 or 4) of
//! `value`, least significant first, the rest zero. Each call overwrites the buffer, so write the
//! result out before the next call; callers hold recordLock. Any other width is a programming
//! error and ends the process.
const std::uint8_t* PackageInt(std::int32_t value, int width);

//! Writes the 44-byte header for `dataLength` bytes of 16-bit PCM at the current position of
//! `fd`. Returns the number of bytes written; 44 means the header is complete. Caller holds
//! recordLock.
int writeWavHeader(int fd, std::uint32_t dataLength, int channels, std::int32_t sampleRate);

//! Patches both length fields of a header written by writeWavHeader for the audio that ends at
//! the current position of `fd`. Returns the bytes written; 8 means both fields were updated.
//! Caller holds recordLock.
int finishWavHeader(int fd);

//! finishWavHeader for audio that ends at `endPosition`, whatever the size of the file.
//! Lengths that do not fit the 32-bit fields are kept at their largest value and logged.
int finishWavHeaderAt(int fd, std::int64_t endPosition);

//! finishWavHeaderAt without the log line, for the updates while a recording runs. Leaves the
//! file position after the data length field.
int patchWavLengths(int fd, std::int64_t endPosition);

}  // namespace quavelink
