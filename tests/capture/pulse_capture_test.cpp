// The real loop: a tone played into a null sink of a private sound server, captured by the
// engine over the PulseAudio backend, streamed by the server, received by an ENet client on
// 127.0.0.1.
#include <cmath>

#include "pulse_capture_fixture.h"

namespace quavelink::test {
namespace {

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
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 140));
    for (const auto& m : client->messages())
        ASSERT_EQ(m.header.flags & FLAG_RATE_48K, FLAG_RATE_48K);
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
}

TEST_F(PulseCaptureTest, FixedIndexPcmCarriesBothTones) {
    play("test", 1000, 1500);
    ASSERT_EQ(startup->startCapture(indexOf("Test48k"), server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 140));
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
}

class PulseOpusTest : public PulseCaptureTest, public ::testing::WithParamInterface<int> {};

TEST_P(PulseOpusTest, EveryRateCarriesBothTones) {
    play("test", 1000, 1500);
    ASSERT_EQ(startup->startCapture(indexOf("Test48k"), server.streamIs48k), 0);
    auto client = connect(static_cast<std::uint32_t>(GetParam()) << kRateCodeShift);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 100, &lastOpus));
    for (const auto& m : client->messages()) ASSERT_LT(m.payload.size(), 1352u);
    expectTones(lastOpus(*client, 100), 1000, 1500, 48000);
}

INSTANTIATE_TEST_SUITE_P(RateCodes, PulseOpusTest, ::testing::Values(1, 2, 3));

TEST_F(PulseCaptureTest, Sink44100ClearsTheRateBit) {
    play("cd", 1000, 1500, 44100);
    ASSERT_EQ(startup->startCapture(indexOf("Cd44k"), server.streamIs48k), 0);
    EXPECT_FALSE(server.streamIs48k);
    auto client = connect(0);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 44100, 130));
    for (const auto& m : client->messages()) ASSERT_EQ(m.header.flags & FLAG_RATE_48K, 0u);
    expectTones(lastPcm(*client, 130), 1000, 1500, 44100);
}

TEST_F(PulseCaptureTest, MovingTheDefaultToTheSameFormatIsFollowed) {
    play("test", 1000, 1500);
    play("other", 500, 700);
    LogCapture log;
    ASSERT_EQ(startup->startCapture(0, server.streamIs48k), 0);
    auto client = connect(0);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 100));
    expectTones(lastPcm(*client, 100), 1000, 1500, 48000);
    // A player without a sink of its own would follow the default too: stop it first.
    players.erase(players.begin());
    ASSERT_EQ(daemon.pactl("set-default-sink other"), 0);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(receiveTones(*client, 500, 700, 48000, 140));
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
    startDeviceLoop(indexOf("Test48k"));
    auto client = connect(FLAG_RELIABLE);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 140));
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    stopDeviceLoop();
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
}

// Lowering or muting the PC's own output (in the window, with Alt+M or in any mixer) changes
// what the PC plays, not what its listeners hear.
TEST_F(PulseCaptureTest, LoweringOrMutingTheCapturedSinkLeavesWhatClientsHear) {
    if (!daemon.isPipeWire()) {
        GTEST_SKIP() << "PulseAudio's monitor of a sink with software volume follows the volume";
    }
    auto level = [](const std::vector<float>& samples) {
        double sum = 0;
        for (float x : samples) sum += static_cast<double>(x) * x;
        return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
    };
    // Half a second of what the client received once the change has had time to arrive.
    auto levelAfterChange = [&](TestClient& client) {
        EXPECT_TRUE(receive(client, client.messages().size() + 140));
        return level(lastPcm(client, 70));
    };
    play("test", 1000, 1500);
    startDeviceLoop(0);
    auto client = connect(0);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 70));
    const double full = level(lastPcm(*client, 70));
    ASSERT_GT(full, 0.2);  // two tones at half scale

    ASSERT_EQ(daemon.pactl("set-sink-volume test 30%"), 0);
    EXPECT_NEAR(levelAfterChange(*client) / full, 1.0, 0.1) << "at 30 %";
    ASSERT_EQ(daemon.pactl("set-sink-mute test 1"), 0);
    EXPECT_NEAR(levelAfterChange(*client) / full, 1.0, 0.1) << "muted";
    ASSERT_EQ(daemon.pactl("set-sink-mute test 0"), 0);
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
