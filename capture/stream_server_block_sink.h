#pragma once

#include "capture/audio_block_sink.h"
#include "server/stream_server.h"

namespace quavelink {

//! Hands the capture engine's blocks to the streaming core's block pipeline; the result of
//! the host service is ignored, as the capture engine always did.
class StreamServerBlockSink : public AudioBlockSink {
  public:
    explicit StreamServerBlockSink(StreamServer& server) : server(server) {}
    void processAudioBlock(std::uint8_t* block, int length) override {
        server.processAudioBlock(block, length);
    }
    // The next capture runs on a thread of its own, and the server thread services the host
    // meanwhile.
    void captureEnded() override { server.releaseHost(); }

  private:
    StreamServer& server;
};

}  // namespace quavelink
