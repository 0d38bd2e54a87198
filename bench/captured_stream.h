#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/audio_startup.h"
#include "capture/stream_server_block_sink.h"
#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "platform/audio/audio_backend.h"
#include "test_client.h"

namespace quavelink::test {

//! Hands every block on and notes when each PCM block left, for its departure jitter. Capture
//! thread; `departures` is read once the capture has stopped. Allocates only at construction.
class TimedBlockSink : public AudioBlockSink {
  public:
    explicit TimedBlockSink(AudioBlockSink& next) : next(next) { departures.reserve(200000); }
    void processAudioBlock(std::uint8_t* block, int length) override {
        if (length == kPlainBlockLength && departures.size() < departures.capacity()) {
            departures.push_back(std::chrono::steady_clock::now());
        }
        next.processAudioBlock(block, length);
    }
    std::vector<std::chrono::steady_clock::time_point> departures;

  private:
    AudioBlockSink& next;
};

//! The streaming core fed by the real capture from the environment's sound server (through the
//! audio system the program would choose), with a fake window and recorder: what the capture
//! benchmarks listen to. Make it once the sound server runs; `start` opens the network host on
//! a free port and looks up the default device.
struct CapturedStream {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    std::uint16_t port = freeUdpPort();
    std::unique_ptr<audio::AudioSystem> audioSystem =
        audio::CreateAudioSystem(chooseSoundServerApi());
    EndpointList endpoints{*audioSystem};
    StreamServerBlockSink serverSink{server};
    TimedBlockSink sink{serverSink};
    ChannelSelection channels;
    AudioStartup startup{
        endpoints, sink, window, channels, {.shownBefore = true, .recordShown = {}}};

    bool start() {
        if (!server.start(port)) return false;
        endpoints.findEndpoint(0);
        return true;
    }
    //! Starts capturing the default device; true when it runs.
    bool startCapture() { return startup.startCapture(0, server.streamIs48k) == 0; }
};

}  // namespace quavelink::test
