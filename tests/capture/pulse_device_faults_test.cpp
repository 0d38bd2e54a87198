// Faults of the captured device on a private sound server while a client listens: the sink
// removed, the sink reloaded in another format, the sound server killed and started again.
// Nothing may crash; the default device follows by a stream switch, a fixed one by a reset, and
// where the capture ends the server thread starts it again by itself while the client stays
// connected.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <mutex>

#include "pulse_capture_fixture.h"
#include "server/capture_recovery.h"

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

    LogCapture log;
};

TEST_F(PulseDeviceFaults, RemovedDefaultSinkIsFollowedToTheNewDefault) {
    // The only other sink is then "other", of the same format.
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("cd"))), 0);
    play("test", 1000, 1500);
    play("other", 500, 700);
    startDeviceLoop(0);
    auto client = connect(0);
    ASSERT_TRUE(receiveTones(*client, 1000, 1500, 48000, 100));
    expectTones(lastPcm(*client, 100), 1000, 1500, 48000);

    players.erase(players.begin());  // PulseAudio would move it to the new default
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    bool followed = receiveTones(*client, 500, 700, 48000, 140);
    printSeen("default sink removed");
    // A stream switch to the new default: the listening client hears it, and nothing is
    // reported, neither in the log nor in the window.
    ASSERT_TRUE(followed);
    expectTones(lastPcm(*client, 140), 500, 700, 48000);
    EXPECT_FALSE(log.containsPrefix("Unable to"));
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts), std::vector<std::string>{" 48.0 kHz"});
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

TEST_F(PulseDeviceFaults, RemovedFixedSinkLeavesTheDefaultInItsPlaceUntilItIsBack) {
    play("test", 1000, 1500);
    play("other", 500, 700);
    const int test = indexOf("Test48k");
    ASSERT_EQ(daemon.pactl("set-default-sink other"), 0);
    startDeviceLoop(test);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.erase(players.begin());
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("test"))), 0);
    bool fellBack = waitUntil(
        [&] {
            return log.count("Capturing the default device while the chosen one is gone\n") == 1;
        },
        10s, {client.get()});
    bool received = receiveTones(*client, 500, 700, 48000, 140);
    printSeen("fixed sink removed");
    // The reset after the gap finds the device gone, the capture ends, and the default device
    // stands in, with the box that says so.
    ASSERT_TRUE(fellBack);
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890004\n"), 1);
    ASSERT_TRUE(received);
    expectTones(lastPcm(*client, 140), 500, 700, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::messageBoxes),
              std::vector<std::string>{standInForGoneDeviceMessage(0x88890004)});

    // Back under its name: taken again without a choice, and without another box.
    ASSERT_EQ(daemon.pactl("load-module module-null-sink sink_name=test rate=48000 "
                           "sink_properties=device.description=Test48k"),
              0);
    play("test", 1000, 1500);
    bool back = waitUntil([&] { return log.count("The chosen device is back\n") == 1; }, 10s,
                          {client.get()});
    received = receiveTones(*client, 1000, 1500, 48000, 140);
    printSeen("then the sink loaded again");
    ASSERT_TRUE(back);
    ASSERT_TRUE(received);
    EXPECT_TRUE(client->connected());
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::messageBoxes).size(), 1u);
}

TEST_F(PulseDeviceFaults, DefaultSinkReloadedAt44100IsCapturedAgainAtItsRate) {
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
    play("test", 1000, 1500, 44100);
    bool again =
        waitUntil([&] { return window.read(&FakeServerWindow::rateTexts).back() == " 44.1 kHz"; },
                  10s, {client.get()});
    bool received = receiveTones(*client, 1000, 1500, 44100, 130);
    printSeen("default sink reloaded at 44100 Hz");
    // The stream switch refuses the other format and the capture ends; started again, it opens
    // the new default at its own rate.
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
    ASSERT_TRUE(again);
    ASSERT_TRUE(received);
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->messages().back().header.flags & FLAG_RATE_48K, 0u);
    expectTones(lastPcm(*client, 130), 1000, 1500, 44100);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", "", " 44.1 kHz"}));
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

TEST_F(PulseDeviceFaults, FixedSinkReloadedWithSixChannelsIsOpenedAgainByItself) {
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
    PulsePlayer::Options six;
    six.channels = 6;
    six.channelMap = kSixChannels;
    players.push_back(
        std::make_unique<PulsePlayer>("test", six, stereoTones(1000, 1500, 48000, 6)));
    bool reopened =
        waitUntil([&] { return channels.captureChannelCount.load() == 6; }, 10s, {client.get()});
    bool received = receiveTones(*client, 1000, 1500, 48000, 140);
    printSeen("fixed sink reloaded with six channels");
    EXPECT_TRUE(log.containsPrefix("Unable to reset audio stream after consecutive empty buf: "));
    ASSERT_TRUE(reopened);
    ASSERT_TRUE(received);
    EXPECT_TRUE(client->connected());
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    // The window is told once the recovery has seen the capture run, which may come after the
    // first blocks.
    EXPECT_TRUE(
        waitUntil([&] { return window.read(&FakeServerWindow::rateTexts).back() == " 48.0 kHz"; },
                  5s, {client.get()}));
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
                                     std::chrono::milliseconds(16), format),
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

// What a registered client hears of devices plugged in and out: sinks and sources that are no
// monitors, added, changed where a list would show it, and removed, but no volume change.
TEST_F(PulseLayerFaults, DevicesThatComeAndGoAreToldToARegisteredClient) {
    struct Heard : audio::NotificationClient {
        void OnDefaultDeviceChanged(audio::DataFlow, std::string_view) override {}
        void OnDeviceAdded(audio::DataFlow f, std::string_view id) override { add("added", f, id); }
        void OnDeviceRemoved(audio::DataFlow f, std::string_view id) override {
            add("removed", f, id);
        }
        void OnDeviceStateChanged(audio::DataFlow f, std::string_view id) override {
            add("changed", f, id);
        }
        void add(const char* what, audio::DataFlow flow, std::string_view id) {
            std::lock_guard lock(mutex);
            events.push_back(std::string(what) + " " + std::string(id) +
                             (flow == audio::DataFlow::Render ? " (render)" : " (capture)"));
        }
        std::vector<std::string> seen() {
            std::lock_guard lock(mutex);
            return events;
        }
        std::mutex mutex;
        std::vector<std::string> events;
    } heard;
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    ASSERT_EQ(audioSystem->CreateDeviceEnumerator(enumerator), audio::kOk);
    std::shared_ptr<audio::EndpointCollection> listed;
    ASSERT_EQ(enumerator->EnumAudioEndpoints(listed), audio::kOk);
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&heard), audio::kOk);

    ASSERT_EQ(daemon.pactl("load-module module-null-sink sink_name=headset rate=48000 "
                           "sink_properties=device.description=Headset"),
              0);
    ASSERT_EQ(daemon.pactl("set-sink-volume headset 40%"), 0);
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("other"))), 0);
    ASSERT_EQ(daemon.pactl("load-module module-null-source source_name=line rate=48000"), 0);
    // Told last, once the sound server has answered for everything before it.
    ASSERT_EQ(daemon.pactl("unload-module " + std::to_string(moduleOf("headset"))), 0);
    auto heardLast = [&] {
        auto seen = heard.seen();
        return std::find(seen.begin(), seen.end(), "removed headset (render)") != seen.end();
    };
    ASSERT_TRUE(waitUntil(heardLast, 10s));
    std::vector<std::string> seen = heard.seen();
    std::vector<std::string> comings;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(comings),
                 [](const std::string& event) { return event.rfind("changed", 0) != 0; });
    std::sort(comings.begin(), comings.end());
    EXPECT_EQ(comings,
              (std::vector<std::string>{"added headset (render)", "added line (capture)",
                                        "removed headset (render)", "removed other (render)"}));
    // PipeWire fills a new node's properties in after it appeared; PulseAudio has nothing to
    // tell but the volume.
    if (!daemon.isPipeWire()) {
        EXPECT_EQ(seen.size(), comings.size()) << "a volume change was told";
    }
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&heard), audio::kOk);
}

class SoundServerRestart : public PulseDeviceFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(SoundServerRestart, TheCaptureComesBackByItselfToTheListeningClient) {
    const bool fixed = GetParam();
    play("test", 1000, 1500);
    const int index = fixed ? indexOf("Test48k") : 0;
    startDeviceLoop(index);
    auto client = connect(0);
    ASSERT_TRUE(receive(*client, 200));

    players.clear();
    daemon.kill(SIGKILL);
    bool told = waitUntil(
        [&] {
            auto statuses = window.read(&FakeServerWindow::captureStatuses);
            return !statuses.empty() && statuses.back() == "No sound server";
        },
        10s, {client.get()});
    printSeen("sound server killed");
    // Without the sound server the reset cannot even stop the old stream: the capture ends, the
    // rate is cleared and the window says why.
    ASSERT_TRUE(told);
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890010\n"), 1);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", ""}));
    // Meanwhile the server thread serves the client: it stays connected.
    waitUntil([] { return false; }, 1500ms, {client.get()});
    EXPECT_TRUE(client->connected());

    ASSERT_TRUE(daemon.restart());
    ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    play("test", 1000, 1500);
    bool runs = captureRuns(10s, {client.get()});
    bool received = receiveTones(*client, 1000, 1500, 48000, 140);
    printSeen("sound server back");
    EXPECT_TRUE(runs);
    ASSERT_TRUE(received);
    EXPECT_TRUE(client->connected());
    expectTones(lastPcm(*client, 140), 1000, 1500, 48000);
    EXPECT_EQ(window.read(&FakeServerWindow::rateTexts),
              (std::vector<std::string>{" 48.0 kHz", "", " 48.0 kHz"}));
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

INSTANTIATE_TEST_SUITE_P(Entries, SoundServerRestart, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "FixedEntry" : "DefaultDevice");
                         });

}  // namespace
}  // namespace quavelink::test
