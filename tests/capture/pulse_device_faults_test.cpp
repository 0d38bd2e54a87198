// Faults of the captured device on a private sound server while a client listens: the sink
// removed, the sink reloaded in another format, the sound server killed and started again.
// Nothing may crash; each case ends or follows as designed (a stream switch for the default
// device, a reset for a fixed one, and otherwise the capture ends until the next choice); and a
// new choice through the window's hand-over streams again.
#include <signal.h>

#include <cstdio>

#include "pulse_capture_fixture.h"

namespace quavelink::test {
namespace {

constexpr const char* kSixChannels = "front-left,front-right,front-center,lfe,rear-left,rear-right";

class PulseDeviceFaults : public PulseCaptureTest {
  protected:
    // What the user saw: the log lines, the capture rate texts and the message boxes.
    void printSeen(const char* what) {
        std::printf("--- %s\n", what);
        for (const std::string& line : log.all()) std::printf("log: %s", line.c_str());
        for (const std::string& text : window.read(&FakeServerWindow::rateTexts)) {
            std::printf("rate text: \"%s\"\n", text.c_str());
        }
        for (const std::string& text : window.read(&FakeServerWindow::messageBoxes)) {
            std::printf("message box: \"%s\"\n", text.c_str());
        }
    }

    // A listening client, connected anew when the old one has given up meanwhile.
    std::unique_ptr<TestClient> listening(std::unique_ptr<TestClient> client, std::uint32_t flags) {
        if (client && client->connected()) return client;
        return connect(flags);
    }

    LogCapture log;
};

TEST_F(PulseDeviceFaults, RemovedDefaultSinkIsFollowedToTheNewDefault) {
    // The only other sink is then "other", of the same format.
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("cd"))), 0);
    play("test", 1000, 1500);
    play("other", 500, 700);
    startDeviceLoop(0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));
    expectTones(lastPcm(*client, 100), 1000, 1500, 48000);

    players.erase(players.begin());  // PulseAudio would move it to the new default
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    std::size_t after = client->messages().size() + 300;
    bool followed = receive(*client, after);
    printSeen("default sink removed");
    // A stream switch to the new default: the listening client hears it, and nothing is
    // reported, neither in the log nor in the window.
    ASSERT_TRUE(followed);
    expectTones(lastPcm(*client, 140), 500, 700, 48000);
    EXPECT_FALSE(log.containsPrefix("Unable to"));
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

TEST_F(PulseDeviceFaults, RemovedFixedSinkEndsTheCaptureAndAnotherChoiceStreams) {
    play("test", 1000, 1500);
    play("other", 500, 700);
    const int test = indexOf("Test48k");
    const int other = indexOf("Other48k");
    startDeviceLoop(test);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.erase(players.begin());
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    bool stopped = captureStops(10s, {client.get()});
    printSeen("fixed sink removed");
    // A fixed entry follows nothing: after nine empty polls the reset finds the device gone and
    // the capture ends, told only in the log; the window still shows the rate.
    EXPECT_TRUE(stopped);
    EXPECT_GE(log.count("Gap in audio data stream\n"), 1);
    EXPECT_EQ(log.count("Unable to activate audio device on the new endpoint: 88890004\n"), 1);
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890004\n"), 1);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());

    window.choice.choose(test);  // the removed one, still listed
    ASSERT_TRUE(waitUntil([&] { return window.read(&FakeServerWindow::rateTexts).size() >= 2; },
                          10s, {client.get()}));
    EXPECT_EQ(window.read(&FakeServerWindow::messageBoxes),
              std::vector<std::string>{"Error, unable to activate audio device (code 88890004).\n"
                                       "It may be unplugged, plug in and select this device "
                                       "again."});
    window.choice.choose(other);
    bool runs = captureRuns(10s, {client.get()});
    client = listening(std::move(client), 0);
    std::size_t after = client->messages().size() + 200;
    bool received = receive(*client, after);
    printSeen("then the removed one and another chosen");
    EXPECT_TRUE(runs);
    ASSERT_TRUE(received);
    expectTones(lastPcm(*client, 140), 500, 700, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", "", " 48.0 kHz"}));
}

TEST_F(PulseDeviceFaults, DefaultSinkReloadedAt44100EndsTheCaptureAndANewChoiceOpensIt) {
    // The only other sink is then "cd", at 44100 Hz.
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("other"))), 0);
    play("test", 1000, 1500);
    startDeviceLoop(0);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.clear();
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    ASSERT_EQ(daemon.pactl("load-module module-null-sink sink_name=test rate=44100 "
                           "sink_properties=device.description=Test44k"),
              0);
    ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    bool stopped = captureStops(10s, {client.get()});
    printSeen("default sink reloaded at 44100 Hz");
    // The default device followed to a sink of another format: the switch ends the capture.
    EXPECT_TRUE(stopped);
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());

    play("test", 1000, 1500, 44100);
    window.choice.choose(0);
    bool runs = captureRuns(10s, {client.get()});
    client = listening(std::move(client), 0);
    std::size_t after = client->messages().size() + 200;
    bool received = receive(*client, after);
    printSeen("then the default device chosen again");
    EXPECT_TRUE(runs);
    ASSERT_TRUE(received);
    EXPECT_EQ(client->messages().back().header.flags & FLAG_RATE_48K, 0u);
    expectTones(lastPcm(*client, 130), 1000, 1500, 44100);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", " 44.1 kHz"}));
}

TEST_F(PulseDeviceFaults, FixedSinkReloadedWithSixChannelsIsOpenedAgainByANewChoice) {
    play("test", 1000, 1500);
    const int test = indexOf("Test48k");
    startDeviceLoop(test);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.clear();
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    ASSERT_EQ(
        daemon.pactl("load-module module-null-sink sink_name=test rate=48000 channels=6 "
                     "channel_map=" +
                     std::string(kSixChannels) + " sink_properties=device.description=Test48k"),
        0);
    bool stopped = captureStops(10s, {client.get()});
    printSeen("fixed sink reloaded with six channels");
    // The reset after the gap finds the sink gone, or back in another format: either way the
    // capture ends.
    EXPECT_TRUE(stopped);
    EXPECT_GE(log.count("Gap in audio data stream\n"), 1);
    EXPECT_EQ(log.count("Unable to activate audio device on the new endpoint: 88890004\n") +
                  log.count("New mix format doesn't match old mix format.  Aborting.\n"),
              1);
    EXPECT_TRUE(log.containsPrefix("Unable to reset audio stream after consecutive empty buf: "));

    PulsePlayer::Options six;
    six.channels = 6;
    six.channelMap = kSixChannels;
    players.push_back(
        std::make_unique<PulsePlayer>("test", six, stereoTones(1000, 1500, 48000, 6)));
    window.choice.choose(test);
    bool runs = captureRuns(10s, {client.get()});
    client = listening(std::move(client), 0);
    std::size_t after = client->messages().size() + 200;
    bool received = receive(*client, after);
    printSeen("then the same entry chosen again");
    EXPECT_TRUE(runs);
    ASSERT_TRUE(received);
    EXPECT_EQ(channels.captureChannelCount.load(), 6);
    EXPECT_EQ(log.count("Mix format: Channels=6, Samples Per Sec=48000, Bits Per Sample=32\n"), 1);
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", " 48.0 kHz"}));
}

// The PulseAudio layer itself, where the faults above had their causes.

class PulseLayerFaults : public PulseDeviceFaults {
  protected:
    // A loopback stream on the sink "test", started.
    void open() {
        std::shared_ptr<audio::Endpoint> endpoint;
        ASSERT_EQ(endpoints->findEndpoint(indexOf("Test48k"), &endpoint), audio::kOk);
        ASSERT_EQ(endpoint->Activate(client), audio::kOk);
        audio::MixFormat format;
        ASSERT_EQ(client->GetMixFormat(format), audio::kOk);
        ASSERT_EQ(client->Initialize(audio::ShareMode::Shared,
                                     audio::kStreamFlagsLoopback | audio::kStreamFlagsNoPersist,
                                     160000, 0, format),
                  audio::kOk);
        ASSERT_EQ(client->GetService(capture), audio::kOk);
        ASSERT_EQ(client->Start(), audio::kOk);
    }

    // Drains the stream until GetBuffer fails; that failure.
    audio::Status failure() {
        audio::Status status = audio::kOk;
        waitUntil(
            [&] {
                const std::uint8_t* data = nullptr;
                std::uint32_t frames = 0, flags = 0;
                status = capture->GetBuffer(data, frames, flags);
                if (audio::Succeeded(status) && frames != 0) capture->ReleaseBuffer(frames);
                return audio::Failed(status);
            },
            10s);
        return status;
    }

    std::unique_ptr<audio::AudioClient> client;
    std::unique_ptr<audio::CaptureClient> capture;
};

// As IAudioClient::Stop after its endpoint was removed: there is nothing left to stop, and that
// is no error, so that a stream switch or a reset goes on; starting it again is.
TEST_F(PulseLayerFaults, AStreamWhoseSinkWentStopsWithoutErrorButCannotStart) {
    open();
    if (HasFatalFailure()) return;
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    EXPECT_EQ(failure(), audio::kErrorDeviceInvalidated);
    EXPECT_EQ(client->Stop(), audio::kOk);
    EXPECT_EQ(client->Start(), audio::kErrorDeviceInvalidated);
}

// Without the sound server a stream fails as the platform's would without its audio service.
TEST_F(PulseLayerFaults, WithoutTheSoundServerAStreamSaysTheServiceIsNotRunning) {
    open();
    if (HasFatalFailure()) return;
    daemon.kill(SIGKILL);
    EXPECT_EQ(failure(), audio::kErrorServiceNotRunning);
    EXPECT_EQ(client->Stop(), audio::kErrorServiceNotRunning);
}

// An endpoint is its device's name: listed before the sound server restarted, it opens the
// device of that name afterwards.
TEST_F(PulseLayerFaults, AnEndpointListedBeforeTheSoundServerRestartedOpensAfterIt) {
    std::shared_ptr<audio::Endpoint> endpoint;
    ASSERT_EQ(endpoints->findEndpoint(indexOf("Test48k"), &endpoint), audio::kOk);
    ASSERT_TRUE(daemon.restart());
    std::unique_ptr<audio::AudioClient> reopened;
    ASSERT_EQ(endpoint->Activate(reopened), audio::kOk);
    audio::MixFormat format;
    EXPECT_EQ(reopened->GetMixFormat(format), audio::kOk);
    EXPECT_EQ(format.samplesPerSec, 48000u);
    audio::EndpointProperties properties;
    EXPECT_EQ(endpoint->OpenPropertyStore(properties), audio::kOk);
    EXPECT_EQ(properties.friendlyName, std::optional<std::string>("Test48k"));
}

class SoundServerRestart : public PulseDeviceFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(SoundServerRestart, EndsTheCaptureAndANewChoiceStreamsAgain) {
    const bool fixed = GetParam();
    play("test", 1000, 1500);
    const int index = fixed ? indexOf("Test48k") : 0;
    startDeviceLoop(index);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.clear();
    daemon.kill(SIGKILL);
    bool stopped = captureStops(10s, {client.get()});
    printSeen("sound server killed");
    // Without the sound server the reset cannot even stop the old stream: the capture ends.
    EXPECT_TRUE(stopped);
    EXPECT_GE(log.count("Error, unable to obtain capture buffer: 88890010\n"), 1);
    EXPECT_GE(log.count("Gap in audio data stream\n"), 1);
    EXPECT_EQ(log.count("Unable to stop audio device during stream switch: 88890010\n"), 1);
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890010\n"), 1);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});

    ASSERT_TRUE(daemon.restart());
    ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    play("test", 1000, 1500);
    window.choice.choose(index);
    bool runs = captureRuns(10s, {client.get()});
    client = listening(std::move(client), 0);
    std::size_t after = client->messages().size() + 200;
    bool received = receive(*client, after);
    printSeen("sound server back, the same entry chosen again");
    EXPECT_TRUE(runs);
    ASSERT_TRUE(received);
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", " 48.0 kHz"}));
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

INSTANTIATE_TEST_SUITE_P(Entries, SoundServerRestart, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "FixedEntry" : "DefaultDevice");
                         });

}  // namespace
}  // namespace quavelink::test
