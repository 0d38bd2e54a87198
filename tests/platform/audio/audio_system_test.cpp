// The real audio system against the private sound server of the tests: what the capture relies
// on beyond opening a stream.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/audio/audio_backend.h"
#include "platform/audio/pipewire_audio_system.h"
#include "platform/wake_event.h"
#include "support/log_capture.h"
#include "support/pulse_daemon.h"
#include "support/pulse_player.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

class AudioSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready());
        backend = chooseSoundServerApi();
        system = audio::CreateAudioSystem(backend);
        ASSERT_EQ(system->CreateDeviceEnumerator(enumerator), audio::kOk);
    }

    // A started loopback capture of the sink "test" that sets `event` for its packets.
    void openCapture() {
        std::shared_ptr<audio::EndpointCollection> collection;
        ASSERT_EQ(enumerator->EnumAudioEndpoints(collection), audio::kOk);
        std::shared_ptr<audio::Endpoint> endpoint;
        ASSERT_EQ(collection->Item(0, endpoint), audio::kOk);
        ASSERT_EQ(endpoint->GetId(), "test");
        ASSERT_EQ(endpoint->Activate(client), audio::kOk);
        audio::MixFormat format;
        ASSERT_EQ(client->GetMixFormat(format), audio::kOk);
        ASSERT_EQ(client->Initialize(audio::ShareMode::Shared,
                                     audio::kStreamFlagsLoopback | audio::kStreamFlagsEventCallback,
                                     16ms, format),
                  audio::kOk);
        ASSERT_EQ(client->SetEventHandle(event), audio::kOk);
        ASSERT_EQ(client->GetService(capture), audio::kOk);
        ASSERT_EQ(client->Start(), audio::kOk);
    }

    // Waits for the next packet and gives it back; its frame count (0: none came).
    std::uint32_t nextPacket() {
        const std::uint8_t* data = nullptr;
        std::uint32_t frames = 0, flags = 0;
        for (int tries = 0; tries < 2 && frames == 0; ++tries) {
            if (capture->GetBuffer(data, frames, flags) != audio::kOk) return 0;
            if (frames == 0) event.wait(3000ms);
        }
        if (frames != 0) capture->ReleaseBuffer(frames);
        return frames;
    }

    PulseDaemon daemon{{"module-null-sink sink_name=test rate=48000"}};
    SoundServerApi backend = SoundServerApi::PulseAudio;
    std::unique_ptr<audio::AudioSystem> system;
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    std::unique_ptr<audio::AudioClient> client;
    std::unique_ptr<audio::CaptureClient> capture;
    WakeEvent event;
};

// A stream opened to signal its packets wakes its reader for them.
TEST_F(AudioSystemTest, ACaptureStreamSetsItsEventForPackets) {
    PulsePlayer player("test", PulsePlayer::Options{}, stereoTones(1000, 1000, 48000, 2));
    openCapture();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(event.wait(3000ms));
    EXPECT_GT(nextPacket(), 0u);
    EXPECT_EQ(client->Stop(), audio::kOk);
}

// On a desktop's PipeWire the graph runs at the quantum the capture asks for, and the log says
// what it got.
TEST_F(AudioSystemTest, PipeWireRunsTheCaptureAtTheQuantumItAsksFor) {
    if (backend != SoundServerApi::PipeWire) GTEST_SKIP() << "PipeWire's own API only";
    LogCapture log;
    openCapture();
    if (HasFatalFailure()) return;
    std::optional<std::uint32_t> largest;
    for (int i = 0; i < 50; ++i) largest = std::max(largest.value_or(0), nextPacket());
    EXPECT_EQ(largest, audio::kCaptureQuantumFrames);
    EXPECT_EQ(log.count("PipeWire runs the capture at 256 frames a cycle (5.33 ms)\n"), 1);
}

}  // namespace
}  // namespace quavelink::test
