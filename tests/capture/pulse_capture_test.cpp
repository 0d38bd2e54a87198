// The real loop: a tone played into a null sink of a private PulseAudio daemon, captured by
// the engine over the PulseAudio backend, streamed by the server, received by an ENet client
// on 127.0.0.1.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/audio_startup.h"
#include "capture/stream_server_block_sink.h"
#include "platform/audio/pulse_audio_system.h"
#include "settings/settings.h"
#include "support/config_home.h"
#include "support/fake_record_sink.h"
#include "support/fake_server_window.h"
#include "support/log_capture.h"
#include "support/pulse_daemon.h"
#include "support/pulse_player.h"
#include "support/test_client.h"
#include "support/tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kModules = {
    "module-null-sink sink_name=test rate=48000 sink_properties=device.description=Test48k",
    "module-null-sink sink_name=other rate=48000 sink_properties=device.description=Other48k",
    "module-null-sink sink_name=cd rate=44100 sink_properties=device.description=Cd44k",
    "module-null-source source_name=mic rate=48000 description=Mic48k",
};

std::vector<float> channelOf(const std::vector<float>& stereo, int side) {
    std::vector<float> out;
    for (std::size_t i = side; i < stereo.size(); i += 2) out.push_back(stereo[i]);
    return out;
}

// The server, the capture over PulseAudio and a daemon with three sinks and a source.
class PulseCaptureTest : public ::testing::Test {
  protected:
    static void TearDownTestSuite() { test::removeTemporaryConfigHome("quavelink-pulse-test"); }

    static void SetUpTestSuite() {
        test::useTemporaryConfigHome("quavelink-pulse-test");
        SetWarn48kDone(true);
    }

    void SetUp() override {
        ::setenv("QUAVELINK_SERVER_NOSILENCE", "1", 1);
        ASSERT_TRUE(daemon.ready()) << "pulseaudio did not start";
        ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
        audioSystem = audio::CreatePulseAudioSystem();
        endpoints = std::make_unique<EndpointList>(*audioSystem);
        ASSERT_EQ(endpoints->findEndpoint(0), audio::kOk);
        ASSERT_TRUE(server.start(port));
        startup = std::make_unique<AudioStartup>(*endpoints, sink, window, channels);
    }

    void TearDown() override {
        startup.reset();
        players.clear();
        ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
    }

    int indexOf(const std::string& name) {
        for (int i = 1; i < EndpointList::kMaxListEntries; ++i) {
            auto text = endpoints->endpointName(i);
            if (!text) break;
            if (*text == name) return i;
        }
        return -1;
    }

    void play(const std::string& sinkName, double left, double right, int rate = 48000) {
        PulsePlayer::Options options;
        options.rate = rate;
        players.push_back(
            std::make_unique<PulsePlayer>(sinkName, options, stereoTones(left, right, rate, 2)));
    }

    std::unique_ptr<TestClient> connect(std::uint32_t dataFlags) {
        auto client = std::make_unique<TestClient>(port, 1);
        for (int i = 0; i < 300 && !client->connected(); ++i) client->service(10);
        EXPECT_TRUE(client->connected());
        client->sendDataRequest(dataFlags, "test");
        return client;
    }

    // Services the client until it holds `count` messages (or 10 s went by).
    bool receive(TestClient& client, std::size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (client.messages().size() < count && std::chrono::steady_clock::now() < deadline) {
            client.service(5);
        }
        return client.messages().size() >= count;
    }

    // Interleaved stereo of the last `count` PCM messages, scaled to -1..1.
    static std::vector<float> lastPcm(TestClient& client, std::size_t count) {
        std::vector<float> out;
        auto& messages = client.messages();
        for (std::size_t i = messages.size() - count; i < messages.size(); ++i) {
            const auto& payload = messages[i].payload;
            for (std::size_t b = 0; b + 1 < payload.size(); b += 2) {
                out.push_back(static_cast<std::int16_t>(payload[b] | payload[b + 1] << 8) /
                              32768.0f);
            }
        }
        return out;
    }

    static std::vector<float> lastOpus(TestClient& client, std::size_t count) {
        int error = 0;
        OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
        std::vector<float> out;
        std::vector<opus_int16> pcm(480 * 2);
        auto& messages = client.messages();
        for (std::size_t i = messages.size() - count; i < messages.size(); ++i) {
            int frames = opus_decode(decoder, messages[i].payload.data(),
                                     static_cast<opus_int32>(messages[i].payload.size()),
                                     pcm.data(), 480, 0);
            for (int f = 0; f < frames * 2; ++f) out.push_back(pcm[f] / 32768.0f);
        }
        opus_decoder_destroy(decoder);
        return out;
    }

    void expectTones(const std::vector<float>& stereo, double left, double right, int rate) {
        // Judged in 50 ms pieces: the test's player may run dry for a moment on a loaded
        // machine, and the phase shift that leaves is no fault of the capture.
        std::size_t piece = static_cast<std::size_t>(rate / 20);
        EXPECT_GE(tonalPieceShare(channelOf(stereo, 0), left, rate, piece), kTonalPieceBar)
            << "left " << left;
        EXPECT_GE(tonalPieceShare(channelOf(stereo, 1), right, rate, piece), kTonalPieceBar)
            << "right " << right;
    }

    PulseDaemon daemon{kModules};
    std::unique_ptr<audio::AudioSystem> audioSystem;
    std::unique_ptr<EndpointList> endpoints;
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    std::uint16_t port = freeUdpPort();
    StreamServerBlockSink sink{server};
    ChannelSelection channels;
    std::unique_ptr<AudioStartup> startup;
    std::vector<std::unique_ptr<PulsePlayer>> players;
};

TEST_F(PulseCaptureTest, ListsSinksAndTheSourceButNoMonitors) {
    EXPECT_GT(indexOf("Test48k"), 0);
    EXPECT_GT(indexOf("Cd44k"), 0);
    EXPECT_GT(indexOf("Mic48k"), indexOf("Cd44k"));
    for (int i = 1; auto name = endpoints->endpointName(i); ++i) {
        EXPECT_EQ(name->find("Monitor"), std::string::npos) << *name;
    }
}

TEST_F(PulseCaptureTest, DefaultDevicePcmCarriesBothTonesOnTheirSides) {
    play("test", 1000, 1500);
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    EXPECT_TRUE(server.streamIs48k);
    auto client = connect(FLAG_RELIABLE);
    ASSERT_TRUE(receive(*client, 300));
    for (const auto& m : client->messages())
        ASSERT_EQ(m.header.flags & FLAG_RATE_48K, FLAG_RATE_48K);
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
}

TEST_F(PulseCaptureTest, FixedIndexPcmCarriesBothTones) {
    play("test", 1000, 1500);
    ASSERT_EQ(startup->startCapture(indexOf("Test48k"), server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 300));
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
}

class PulseOpusTest : public PulseCaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(PulseOpusTest, EveryRateCarriesBothTones) {
    play("test", 1000, 1500);
    ASSERT_EQ(startup->startCapture(indexOf("Test48k"), server.streamIs48k), 0);
    auto client = connect(static_cast<std::uint32_t>(GetParam()) << kRateCodeShift);
    ASSERT_TRUE(receive(*client, 250));
    for (const auto& m : client->messages()) ASSERT_LT(m.payload.size(), 1352u);
    expectTones(lastOpus(*client, 100), 1000, 1500, 48000);
}

INSTANTIATE_TEST_SUITE_P(RateCodes, PulseOpusTest, ::testing::Values(1, 2, 3));

TEST_F(PulseCaptureTest, Sink44100ClearsTheRateBit) {
    play("cd", 1000, 1500, 44100);
    ASSERT_EQ(startup->startCapture(indexOf("Cd44k"), server.streamIs48k), 0);
    EXPECT_FALSE(server.streamIs48k);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 300));
    for (const auto& m : client->messages()) ASSERT_EQ(m.header.flags & FLAG_RATE_48K, 0u);
    expectTones(lastPcm(*client, 130), 1000, 1500, 44100);
}

TEST_F(PulseCaptureTest, MovingTheDefaultToTheSameFormatIsFollowed) {
    play("test", 1000, 1500);
    play("other", 500, 700);
    LogCapture log;
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));
    expectTones(lastPcm(*client, 100), 1000, 1500, 48000);
    // A player without a sink of its own would follow the default too: stop it first.
    players.erase(players.begin());
    ASSERT_EQ(daemon.pactl("set-default-sink other"), 0);
    std::this_thread::sleep_for(300ms);
    std::size_t moved = client->messages().size() + 300;
    ASSERT_TRUE(receive(*client, moved));
    expectTones(lastPcm(*client, 140), 500, 700, 48000);
    EXPECT_FALSE(log.containsPrefix("New mix format"));
}

TEST_F(PulseCaptureTest, MovingTheDefaultToAnotherFormatEndsTheCapture) {
    play("test", 1000, 1500);
    LogCapture log;
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 100));
    // A 48 kHz stream moving along with the default would turn the idle sink to 48 kHz.
    players.clear();
    ASSERT_EQ(daemon.pactl("set-default-sink cd"), 0);
    for (int i = 0; i < 300 && !log.containsPrefix("New mix"); ++i) client->service(10);
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
    // Nothing more is sent.
    for (int i = 0; i < 20; ++i) client->service(5);
    std::size_t after = client->messages().size();
    for (int i = 0; i < 40; ++i) client->service(5);
    EXPECT_EQ(client->messages().size(), after);
}

TEST_F(PulseCaptureTest, ServerThreadCapturesTheChosenIndex) {
    play("test", 1000, 1500);
    window.choice.choose(indexOf("Test48k"));
    std::jthread serverLoop([&](std::stop_token stop) {
        runDeviceLoop(server, *startup, window, stop, std::chrono::milliseconds(100));
    });
    auto client = connect(FLAG_RELIABLE);
    ASSERT_TRUE(receive(*client, 300));
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    serverLoop.request_stop();
    serverLoop.join();
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
}

TEST_F(PulseCaptureTest, CaptureEndpointOpensDirectly) {
    LogCapture log;
    ASSERT_EQ(startup->startCapture(indexOf("Mic48k"), server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 100));
    EXPECT_FALSE(log.containsPrefix("Unable to initialize audio engine"));
    // The engine records from the source itself, not from a monitor.
    auto outputs = daemon.pactlOutput("list source-outputs");
    ASSERT_TRUE(outputs);
    EXPECT_NE(outputs->find("QuaveLink capture"), std::string::npos);
    auto sources = daemon.pactlOutput("list short sources");
    ASSERT_TRUE(sources);
}

TEST_F(PulseCaptureTest, SilenceKeepAlivePlaysOnTheDefaultSink) {
    ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    bool playing = false;
    for (int i = 0; i < 60 && !playing; ++i) {
        std::this_thread::sleep_for(50ms);
        auto inputs = daemon.pactlOutput("list sink-inputs");
        playing = inputs && inputs->find("QuaveLink playback") != std::string::npos;
    }
    EXPECT_TRUE(playing);
}

TEST_F(PulseCaptureTest, NoSilenceKeepAliveWhenSwitchedOff) {
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    std::this_thread::sleep_for(1500ms);
    auto inputs = daemon.pactlOutput("list sink-inputs");
    ASSERT_TRUE(inputs);
    EXPECT_EQ(inputs->find("QuaveLink playback"), std::string::npos);
}

}  // namespace
}  // namespace quavelink::test
