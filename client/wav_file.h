#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quavelink {

//! A 16-bit stereo WAV file written as audio arrives; its lengths are patched on close (and
//! kept at their largest value past 4 GiB, where the format cannot say more). Single thread.
class WavFile {
  public:
    WavFile() = default;
    ~WavFile() { close(); }
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    //! Creates `path` (replacing it) for audio at `sampleRate`. False with `error` set on failure.
    bool open(const std::string& path, int sampleRate, std::string& error);
    //! Appends interleaved stereo frames. False once a write has failed (the file is then closed
    //! with the audio written so far).
    bool write(const std::int16_t* samples, std::size_t frames, std::string& error);
    //! Patches the header and closes. Harmless when not open.
    void close();

    bool isOpen() const { return file != nullptr; }
    int sampleRate() const { return rate; }
    std::uint64_t dataBytes() const { return written; }

  private:
    std::FILE* file = nullptr;
    int rate = 0;
    std::uint64_t written = 0;
};

}  // namespace quavelink
