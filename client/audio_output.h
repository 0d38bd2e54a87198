#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quavelink {

//! A playback stream of interleaved stereo 16-bit frames. Every call on the playback thread.
class AudioOutput {
  public:
    virtual ~AudioOutput() = default;

    //! Opens the stream at `sampleRate`, asking the sound server to keep about `bufferMs`
    //! milliseconds queued. Closes any stream open before. False with `error` set on failure.
    virtual bool open(int sampleRate, int bufferMs, std::string& error) = 0;

    //! Queues `frames` frames, blocking while the sound server's buffer is full; this is what
    //! paces the playback thread. False with `error` set on failure (the stream is then closed).
    virtual bool write(const std::int16_t* samples, std::size_t frames, std::string& error) = 0;

    //! Microseconds between a frame written now and its playback; -1 when unknown.
    virtual std::int64_t latencyUs() = 0;

    virtual void close() = 0;
};

//! The PulseAudio backend (also serves PipeWire through pipewire-pulse). `sinkName` empty: the
//! default sink. `clientName` names the stream in the sound server.
std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName);

}  // namespace quavelink
