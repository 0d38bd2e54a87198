#pragma once

#include <cstdint>
#include <memory>

#include "capture/audio_startup.h"
#include "capture/stream_server_block_sink.h"
#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "platform/audio/pulse_audio_system.h"
#include "test_client.h"

namespace quavelink::test {

//! The streaming core fed by the real capture from the environment's sound server, with a fake
//! window and recorder: what the capture benchmarks listen to. Make it once the sound server
//! runs; `start` opens the network host on a free port and looks up the default device.
struct CapturedStream {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    std::uint16_t port = freeUdpPort();
    std::unique_ptr<audio::AudioSystem> audioSystem = audio::CreatePulseAudioSystem();
    EndpointList endpoints{*audioSystem};
    StreamServerBlockSink sink{server};
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
