#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/mp3/mp3_encoder.h"

namespace quavelink {

//! What one step of writing a recording came to.
struct EncoderStatus {
    bool writable = true;              //!< false: write nothing more into this recording
    std::vector<std::string> reports;  //!< texts to show the user, once recordLock is released
    int error = 0;                     //!< the system's error number behind the reports, if any
};

//! Turns the queued PCM of one recording into the bytes of its file. One instance per
//! recording, used only under recordLock: `start` once, then `encode` per block, then `finish`
//! once. The descriptor is borrowed; whoever opened it closes it.
class RecordEncoder {
  public:
    virtual ~RecordEncoder() = default;

    //! Prepares the file: `sampleRate` 48000 or 44100, `kbps` the MP3 bit rate (0 = VBR).
    virtual EncoderStatus start(int fd, std::int32_t sampleRate, std::int32_t kbps) = 0;

    //! Adds `length` bytes of interleaved stereo 16-bit PCM.
    virtual EncoderStatus encode(int fd, const std::uint8_t* pcm, std::int32_t length) = 0;

    //! Completes the file at `path` (the file `fd` writes to); `writable` is meaningless here.
    virtual EncoderStatus finish(int fd, const std::string& path) = 0;

    //! After each batch of blocks: makes what is written so far readable should the program
    //! end without `finish` (killed, power lost). Reports nothing; `finish` does.
    virtual void checkpoint(int) {}
};

//! Writes a WAV header at start, raw PCM per block, and patches the lengths at finish.
class WavRecordEncoder : public RecordEncoder {
  public:
    EncoderStatus start(int fd, std::int32_t sampleRate, std::int32_t kbps) override;
    EncoderStatus encode(int fd, const std::uint8_t* pcm, std::int32_t length) override;
    EncoderStatus finish(int fd, const std::string& path) override;
    //! Brings the header's lengths up to the audio written so far.
    void checkpoint(int fd) override;
};

//! Encodes through an MP3 stream of its own, with the adapter the window has loaded before it
//! sets an MP3 target. After a block failed, finish only ends the stream and writes nothing more
//! into the file.
class Mp3RecordEncoder : public RecordEncoder {
  public:
    EncoderStatus start(int fd, std::int32_t sampleRate, std::int32_t kbps) override;
    EncoderStatus encode(int fd, const std::uint8_t* pcm, std::int32_t length) override;
    EncoderStatus finish(int fd, const std::string& path) override;

  private:
    Mp3Stream stream;
    bool opened = false;
    bool failed = false;  // a block could not be encoded or written
};

//! The program's encoder for a new recording: MP3 when `mp3`, else WAV.
std::unique_ptr<RecordEncoder> makeRecordEncoder(bool mp3);

}  // namespace quavelink
