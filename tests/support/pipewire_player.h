#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "pulse_player.h"

namespace quavelink::test {

//! Plays generated float audio into a sink of the running PipeWire (PIPEWIRE_RUNTIME_DIR)
//! through PipeWire's own API until destroyed: a stream whose process callback, on PipeWire's
//! real-time data thread, generates each quantum as the graph asks for it.
class PipeWirePlayer {
  public:
    //! Both run on the data thread, once a graph cycle.
    using Generator = PulsePlayer::Generator;
    using Written = PulsePlayer::Written;

    struct Options {
        int rate = 48000;
        int channels = 2;
        //! The quantum asked for (node.latency), in frames at `rate`.
        unsigned quantumFrames = 128;
    };

    PipeWirePlayer(const std::string& sink, Options options, Generator generate,
                   Written written = {});
    ~PipeWirePlayer();
    PipeWirePlayer(const PipeWirePlayer&) = delete;
    PipeWirePlayer& operator=(const PipeWirePlayer&) = delete;

    //! False once the stream could not be opened or failed.
    bool ok() const;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream;
};

}  // namespace quavelink::test
