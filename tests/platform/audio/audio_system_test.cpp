// The real audio system against the private sound server of the tests: what the capture and
// the window rely on beyond opening a stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/audio/pulse_audio_system.h"
#include "platform/wake_event.h"
#include "support/pulse_daemon.h"
#include "support/pulse_player.h"
#include "support/wait_until.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

class AudioSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready());
        system = audio::CreatePulseAudioSystem();
        ASSERT_EQ(system->CreateDeviceEnumerator(enumerator), audio::kOk);
    }

    std::shared_ptr<audio::Endpoint> sink(const std::string& name) {
        std::shared_ptr<audio::EndpointCollection> collection;
        EXPECT_EQ(enumerator->EnumAudioEndpoints(collection), audio::kOk);
        std::uint32_t count = 0;
        if (collection) collection->GetCount(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::shared_ptr<audio::Endpoint> endpoint;
            if (collection->Item(i, endpoint) == audio::kOk && endpoint->GetId() == name) {
                return endpoint;
            }
        }
        return nullptr;
    }

    PulseDaemon daemon{{"module-null-sink sink_name=test rate=48000"}};
    std::unique_ptr<audio::AudioSystem> system;
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
};

// A stream opened to signal its packets wakes its reader for them.
TEST_F(AudioSystemTest, ACaptureStreamSetsItsEventForPackets) {
    PulsePlayer player("test", PulsePlayer::Options{}, stereoTones(1000, 1000, 48000, 2));
    auto endpoint = sink("test");
    ASSERT_TRUE(endpoint);
    std::unique_ptr<audio::AudioClient> client;
    ASSERT_EQ(endpoint->Activate(client), audio::kOk);
    audio::MixFormat format;
    ASSERT_EQ(client->GetMixFormat(format), audio::kOk);
    ASSERT_EQ(client->Initialize(audio::ShareMode::Shared,
                                 audio::kStreamFlagsLoopback | audio::kStreamFlagsEventCallback,
                                 16ms, format),
              audio::kOk);
    WakeEvent event;
    ASSERT_EQ(client->SetEventHandle(event), audio::kOk);
    std::unique_ptr<audio::CaptureClient> capture;
    ASSERT_EQ(client->GetService(capture), audio::kOk);
    ASSERT_EQ(client->Start(), audio::kOk);
    ASSERT_TRUE(event.wait(3000ms));
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0, flags = 0;
    ASSERT_EQ(capture->GetBuffer(data, frames, flags), audio::kOk);
    EXPECT_GT(frames, 0u);
    EXPECT_EQ(client->Stop(), audio::kOk);
}

}  // namespace
}  // namespace quavelink::test
