#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quavelink {

//! What an output plays from and reports to: the playout, whose one controller keeps the whole
//! latency from the network to the ear, the output's share included. Called on the output's own
//! thread only; nothing here blocks or allocates.
class PlayoutFeed {
  public:
    //! The output's own account at the moment of a pull, µs.
    struct Hold {
        //! How long the audio the output holds now takes until it is heard (its buffer and the
        //! device's); -1 while it cannot tell, and then it takes exactly what it asks for.
        std::int64_t heldUs = -1;
        //! The least it must hold to play on without a gap until it next pulls. What it holds
        //! below that is handed over at once, as silence that fades in and out when no audio is
        //! due. A pull-model output (it plays a quantum each time it asks) says what it holds
        //! plus that quantum.
        std::int64_t leastUs = 0;
    };

    virtual ~PlayoutFeed() = default;

    //! Writes at most `frames` interleaved stereo 16-bit frames to `out` and returns how many.
    //! With `hold.heldUs` known it writes at least what `hold.leastUs` asks for and at most what
    //! keeps the output within the latency the controller allows, so that an output that takes
    //! audio as it arrives holds the queue itself; otherwise exactly `frames`.
    virtual std::size_t pull(std::int16_t* out, std::size_t frames, const Hold& hold) = 0;

    //! The output found itself empty: the listener heard a gap that the playout did not hand
    //! over. The controller keeps a margin for it.
    virtual void outputRanDry() = 0;
};

//! A playback stream of interleaved stereo 16-bit frames. It pulls from the feed on a thread of
//! its own (real-time where the system grants it), so a frame never waits in a second buffer of
//! ours between the playout and the sound server; it sets its own buffer once, when it opens, to
//! what its sound server needs to play clean, and reports it with every pull.
class AudioOutput {
  public:
    //! Whether the output's thread runs at a real-time priority, and how it came to.
    enum class Realtime {
        Unknown,      //!< not open, or not known yet
        No,           //!< refused: it runs at normal priority
        Direct,       //!< granted by the system at once
        RealtimeKit,  //!< granted by RealtimeKit over D-Bus
        SoundServer,  //!< the sound server's own thread, real-time by its own means
    };

    virtual ~AudioOutput() = default;

    //! Opens the stream at `sampleRate` and starts pulling from `feed`, which must outlive the
    //! stream. Closes any stream open before. False with `error` set on failure. Not on the
    //! output thread.
    virtual bool open(int sampleRate, PlayoutFeed& feed, std::string& error) = 0;

    //! Any thread but the output's, never blocking: audio arrived in the playout. An output that
    //! takes audio as it arrives wakes up for it; a pull-model output ignores it.
    virtual void audioArrived() = 0;

    //! Whether the open stream has failed (the sound server went away), with `error` saying
    //! how. Not on the output thread.
    virtual bool failed(std::string& error) = 0;

    //! How often the sound server found the open stream empty since it opened: each time a gap
    //! is heard. Any thread.
    virtual std::uint64_t underflows() = 0;

    //! What the sound server was asked to run its device at for this stream (the configured
    //! latency of the sink), ms; -1 when closed or unknown. Any thread.
    virtual double deviceLatencyMs() = 0;

    //! The output thread's priority, and `detail` (why it was refused, or empty). Not on the
    //! output thread.
    virtual Realtime realtime(std::string& detail) = 0;

    //! Stops pulling: once it returns, the feed is not called again. Not on the output thread.
    virtual void close() = 0;
};

//! "no", "direct", "rtkit", "server" or "unknown": the word the status lines use.
const char* realtimeName(AudioOutput::Realtime realtime);

//! The PulseAudio backend (also serves PipeWire through pipewire-pulse). `sinkName` empty: the
//! default sink. `clientName` names the stream in the sound server.
std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName);

//! The PipeWire backend, over PipeWire's own API: a pull-model stream played on PipeWire's
//! real-time data thread. `sinkName` (a node name) is followed: the session manager plays on the
//! default sink while it is away and back on it once it returns; empty: the default sink.
std::unique_ptr<AudioOutput> createPipeWireOutput(const std::string& sinkName,
                                                  const std::string& clientName);

}  // namespace quavelink
