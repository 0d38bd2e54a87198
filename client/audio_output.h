#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quavelink {

//! A playback stream of interleaved stereo 16-bit frames that the sound server pulls: it asks
//! for audio on a thread of its own, when its buffer has room, so a frame never waits in a
//! second buffer of ours between the playout and the sound server.
class AudioOutput {
  public:
    //! Output thread: writes exactly `frames` frames to `out`. Must neither block nor allocate.
    using Fill = std::function<void(std::int16_t* out, std::size_t frames)>;

    virtual ~AudioOutput() = default;

    //! Opens the stream at `sampleRate`, asking the sound server to keep at least `bufferMs`
    //! milliseconds queued, and starts pulling through `fill`. Closes any stream open before.
    //! False with `error` set on failure. Not on the output thread.
    virtual bool open(int sampleRate, int bufferMs, Fill fill, std::string& error) = 0;

    //! Whether the open stream has failed (the sound server went away), with `error` saying
    //! how. Not on the output thread.
    virtual bool failed(std::string& error) = 0;

    //! Microseconds between a frame handed over now and its playback; -1 when unknown. Not on
    //! the output thread.
    virtual std::int64_t latencyUs() = 0;

    //! How often the sound server found the open stream's buffer empty since it opened: each
    //! time a gap is heard. Any thread.
    virtual std::uint64_t underflows() = 0;

    //! What the sound server is asked to keep queued now, ms: at least what `open` asked for,
    //! more for a while after it ran dry. Any thread.
    virtual int bufferMs() = 0;

    //! Stops pulling: once it returns, `fill` is not called again. Not on the output thread.
    virtual void close() = 0;
};

//! The PulseAudio backend (also serves PipeWire through pipewire-pulse). `sinkName` empty: the
//! default sink. `clientName` names the stream in the sound server.
std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName);

}  // namespace quavelink
