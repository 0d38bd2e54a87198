#include "capture/capture_engine.h"

#include <gtest/gtest.h>

#include <thread>

#include "capture/pcm_conversion.h"
#include "capture_fixture.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

class CaptureEngineTest : public CaptureTest {
  protected:
    explicit CaptureEngineTest(bool adviceShownBefore = true) : CaptureTest(adviceShownBefore) {}

    // Speakers as the default render device, a microphone, and the collection made.
    void SetUp() override {
        CaptureTest::SetUp();
        system.addDevice(renderDevice("speakers"));
        system.addDevice(captureDevice("mic"));
        system.setDefault(audio::DataFlow::Render, "speakers");
        ASSERT_EQ(endpoints.findEndpoint(0), audio::kOk);
    }

    // Frames whose channel c holds value base + c / 100.
    FakeAudioSystem::Packet channelFrames(int frames, int channelCount, float base) {
        FakeAudioSystem::Packet packet;
        for (int f = 0; f < frames; ++f) {
            for (int c = 0; c < channelCount; ++c) packet.samples.push_back(base + c / 100.0f);
        }
        return packet;
    }
};

TEST_F(CaptureEngineTest, PacketsFillBothBlockStreams) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_TRUE(is48k);
    system.pushFrames("speakers", 300, 0.25f);
    system.pushFrames("speakers", 300, -0.25f);
    ASSERT_TRUE(sink.waitFor(kOpusBlockLength, 1));
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    auto plain = sink.of(kPlainBlockLength).at(0);
    EXPECT_EQ(sampleAt(plain, 0, 0), 8192);
    EXPECT_EQ(sampleAt(plain, 299, 1), 8192);
    EXPECT_EQ(sampleAt(plain, 300, 0), -8192);
    EXPECT_EQ(sampleAt(plain, 337, 1), -8192);
    auto opus = sink.of(kOpusBlockLength).at(0);
    EXPECT_EQ(sampleAt(opus, 479, 0), -8192);
    EXPECT_EQ(sink.count(kPlainBlockLength), 1);  // 600 frames: one plain block and a part
}

// A block leaves when the stream says its last frames are there, not at the next look of a
// poll timer: here the timer would not look for twenty minutes.
TEST_F(CaptureEngineTest, APacketIsTakenWhenTheStreamSignalsIt) {
    std::shared_ptr<audio::Endpoint> speakers;
    ASSERT_EQ(endpoints.findEndpoint(1, &speakers), audio::kOk);
    bool adviceDue = false;
    std::function<void()> adviceShown;
    CWASAPICapture engine({system, sink, boxes, channels, adviceDue, adviceShown}, speakers, false);
    std::atomic<bool> rate48k{false};
    ASSERT_TRUE(engine.Initialize(std::chrono::hours(1), rate48k));
    std::vector<std::uint8_t> plain(kPlainBlockLength), opus(kOpusBlockLength);
    ASSERT_TRUE(engine.Start(plain.data(), opus.data()));
    system.pushFrames("speakers", 338, 0.25f);
    EXPECT_TRUE(sink.waitFor(kPlainBlockLength, 1, 2000));
    engine.Stop();
}

TEST_F(CaptureEngineTest, SilentPacketGivesZerosWhateverItsData) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.pushFrames("speakers", 338, 0.5f, audio::kBufferFlagsSilent);
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    auto plain = sink.of(kPlainBlockLength).at(0);
    for (int f = 0; f < 338; ++f) {
        ASSERT_EQ(sampleAt(plain, f, 0), 0);
        ASSERT_EQ(sampleAt(plain, f, 1), 0);
    }
}

TEST_F(CaptureEngineTest, SixChannelsTakeTheChosenPairOrPairZero) {
    system.addDevice(renderDevice("surround", 48000, 6, "Surround"));
    ASSERT_EQ(endpoints.findEndpoint(0), audio::kOk);
    // The collection was made in SetUp: the surround device is not in it. Make a new list.
    EndpointList list(system);
    ASSERT_EQ(list.findEndpoint(0), audio::kOk);
    AudioStartup surround(list, sink, boxes, channels, warn48k());
    ASSERT_EQ(surround.startCapture(3, is48k), 0);
    EXPECT_EQ(channels.captureChannelCount.load(), 6);

    channels.channelPairIndex = 2;
    system.pushPacket("surround", channelFrames(338, 6, 0.1f));
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    channels.channelPairIndex = 3;
    system.pushPacket("surround", channelFrames(338, 6, 0.1f));
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 2));
    surround.stopCapture();

    auto blocks = sink.of(kPlainBlockLength);
    EXPECT_EQ(sampleAt(blocks[0], 5, 0), toPcm16(0.14f));
    EXPECT_EQ(sampleAt(blocks[0], 5, 1), toPcm16(0.15f));
    EXPECT_EQ(sampleAt(blocks[1], 5, 0), toPcm16(0.10f));
    EXPECT_EQ(sampleAt(blocks[1], 5, 1), toPcm16(0.11f));
}

TEST_F(CaptureEngineTest, StereoIgnoresThePairChoice) {
    channels.channelPairIndex = 1;
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.pushPacket("speakers", channelFrames(338, 2, 0.2f));
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    auto plain = sink.of(kPlainBlockLength).at(0);
    EXPECT_EQ(sampleAt(plain, 0, 0), toPcm16(0.20f));
    EXPECT_EQ(sampleAt(plain, 0, 1), toPcm16(0.21f));
}

TEST_F(CaptureEngineTest, OneChannelGivesTheSameSampleOnBothSides) {
    auto mono = captureDevice("monomic");
    mono.format = audio::FloatMixFormat(1, 48000, 0x4);
    system.addDevice(mono);
    EndpointList list(system);
    ASSERT_EQ(list.findEndpoint(0), audio::kOk);
    AudioStartup startupMono(list, sink, boxes, channels, warn48k());
    ASSERT_EQ(startupMono.startCapture(3, is48k), 0);
    FakeAudioSystem::Packet packet;
    for (int f = 0; f < 338; ++f) packet.samples.push_back(f % 2 ? 0.5f : -0.5f);
    system.pushPacket("monomic", packet);
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    startupMono.stopCapture();
    auto plain = sink.of(kPlainBlockLength).at(0);
    EXPECT_EQ(sampleAt(plain, 0, 0), toPcm16(-0.5f));
    EXPECT_EQ(sampleAt(plain, 0, 1), toPcm16(-0.5f));
    EXPECT_EQ(sampleAt(plain, 337, 0), toPcm16(0.5f));
    EXPECT_EQ(sampleAt(plain, 337, 1), toPcm16(0.5f));
}

// Polls come every 5 ms on the stepped clock: 200 of them are a second of the stream, 142 plain
// blocks (338 frames) and 100 compressed ones (480 frames) at 48000 Hz.
TEST_F(CaptureEngineTest, GapResetsOnceThenSilenceKeepsTheStreamsPace) {
    LogCapture log;
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.pushFrames("speakers", 100, 0.25f);
    ASSERT_TRUE(polls.step());
    // Eight empty polls after data are no gap yet.
    ASSERT_TRUE(polls.step(8));
    EXPECT_EQ(log.count("Gap in audio data stream\n"), 0);
    EXPECT_EQ(sink.count(kPlainBlockLength), 0);
    // The ninth: a reset (a second Activate), and silent blocks for the 45 ms since the data.
    ASSERT_TRUE(polls.step());
    EXPECT_EQ(log.count("Gap in audio data stream\n"), 1);
    EXPECT_EQ(system.count("Activate:speakers"), 2);
    EXPECT_EQ(system.count("Initialize:speakers:loopback"), 2);
    ASSERT_EQ(sink.count(kPlainBlockLength), 6);
    ASSERT_EQ(sink.count(kOpusBlockLength), 4);
    for (auto& block : {sink.of(kPlainBlockLength).at(0), sink.of(kOpusBlockLength).at(0)}) {
        EXPECT_EQ(block, std::vector<std::uint8_t>(block.size(), 0));
    }
    // A second since the data: a second of silence, and no further reset.
    ASSERT_TRUE(polls.step(191));
    EXPECT_EQ(sink.count(kPlainBlockLength), 142);
    EXPECT_EQ(sink.count(kOpusBlockLength), 100);
    EXPECT_EQ(log.count("Gap in audio data stream\n"), 1);
    EXPECT_EQ(system.count("Activate:speakers"), 2);
}

// A sink that sleeps until a stream wakes it delivers nothing at first: the clients get silence
// at the stream's pace from the start, not a block now and then.
TEST_F(CaptureEngineTest, AStreamThatStartsEmptyGivesSilenceAtItsPaceWithoutReset) {
    LogCapture log;
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    ASSERT_TRUE(polls.step(8));
    EXPECT_EQ(sink.count(kPlainBlockLength), 0);
    ASSERT_TRUE(polls.step(192));
    EXPECT_EQ(sink.count(kPlainBlockLength), 142);
    EXPECT_EQ(sink.count(kOpusBlockLength), 100);
    EXPECT_EQ(log.count("Gap in audio data stream\n"), 0);
    EXPECT_EQ(system.count("Activate:speakers"), 1);
}

TEST_F(CaptureEngineTest, FailedResetEndsTheCapture) {
    LogCapture log;
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.fail("Activate:speakers", audio::kErrorDeviceInvalidated);
    system.pushFrames("speakers", 100, 0.25f);
    // The data, then the nine empty polls whose last resets the stream.
    ASSERT_TRUE(polls.step(10));
    EXPECT_EQ(log.count("Unable to activate audio device on the new endpoint: 88890004\n"), 1);
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890004\n"), 1);
    EXPECT_EQ(sink.count(kPlainBlockLength), 0);
}

// As when the sound server goes before the stream delivered anything.
TEST_F(CaptureEngineTest, AStreamFailingBeforeItsFirstDataIsResetAndEndsWithTheReset) {
    LogCapture log;
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.fail("Activate:speakers", audio::kErrorServiceNotRunning);
    FakeAudioSystem::Packet broken;
    broken.error = audio::kErrorServiceNotRunning;
    for (int i = 0; i < 9; ++i) system.pushPacket("speakers", broken);
    ASSERT_TRUE(polls.step(9));
    EXPECT_TRUE(polls.waitForEnd());
    EXPECT_EQ(log.count("Unable to reset audio stream after consecutive empty buf: 88890010\n"), 1);
}

TEST_F(CaptureEngineTest, BufferErrorsEndOnlyThePoll) {
    LogCapture log;
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    FakeAudioSystem::Packet broken;
    broken.error = audio::kErrorFail;
    system.pushPacket("speakers", broken);
    system.pushFrames("speakers", 338, 0.25f);
    ASSERT_TRUE(polls.step());
    EXPECT_EQ(log.count("Error, unable to obtain capture buffer: 80004005\n"), 1);
    EXPECT_EQ(sink.count(kPlainBlockLength), 0);
    // The next poll takes the packet behind the broken one.
    ASSERT_TRUE(polls.step());
    ASSERT_EQ(sink.count(kPlainBlockLength), 1);
    EXPECT_EQ(sampleAt(sink.of(kPlainBlockLength).at(0), 0, 0), 8192);
}

TEST_F(CaptureEngineTest, CaptureEndpointFailsLoopbackAndOpensDirectly) {
    LogCapture log;
    ASSERT_EQ(startup.startCapture(2, is48k), 0);
    auto calls = system.calls();
    auto loopback = std::find(calls.begin(), calls.end(), "Initialize:mic:loopback");
    auto direct = std::find(calls.begin(), calls.end(), "Initialize:mic:direct");
    ASSERT_NE(loopback, calls.end());
    ASSERT_NE(direct, calls.end());
    EXPECT_LT(loopback, direct);
    EXPECT_EQ(system.count("Activate:mic"), 2);
    EXPECT_FALSE(log.containsPrefix("Unable to initialize audio engine"));
    system.pushFrames("mic", 338, 0.25f);
    EXPECT_TRUE(sink.waitFor(kPlainBlockLength, 1));
}

TEST_F(CaptureEngineTest, RenderEndpointOpensInLoopback) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(system.count("Initialize:speakers:loopback"), 1);
    EXPECT_EQ(system.count("Initialize:speakers:direct"), 0);
}

TEST_F(CaptureEngineTest, EngineThatRefusesBothModesFails) {
    system.fail("Initialize:speakers:loopback", audio::kErrorFail);
    system.fail("Initialize:speakers:direct", audio::kErrorUnsupportedFormat);
    LogCapture log;
    EXPECT_EQ(startup.startCapture(1, is48k), -2);
    EXPECT_EQ(log.count("Unable to initialize audio engine: 88890008\n"), 1);
    EXPECT_EQ(log.count("Unable to initialize capturer\n"), 1);
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{"Error, could not initialize audio stream (code 88890008)"});
    EXPECT_FALSE(startup.capturing());
}

// A line of the program's own says the cause in words beside the code.
TEST_F(CaptureEngineTest, AStreamWithoutItsReadyEventSaysWhy) {
    system.fail("SetEventHandle", audio::kErrorServiceNotRunning);
    LogCapture log;
    EXPECT_EQ(startup.startCapture(1, is48k), -2);
    EXPECT_EQ(
        log.count("Unable to set ready event: 88890010 (the sound server cannot be reached)\n"), 1);
}

TEST_F(CaptureEngineTest, OnlyThirtyTwoBitFormatsAreTaken) {
    auto device = renderDevice("deep");
    device.format.bitsPerSample = 24;
    system.addDevice(device);
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    LogCapture log;
    EXPECT_EQ(other.startCapture(3, is48k), -2);
    EXPECT_EQ(log.count("Audio device number of bits per sample not supported.\n"), 1);
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{
                                 "Error, audio device is set to a number of bits per sample not "
                                 "supported by QuaveLink (24)."});
    EXPECT_EQ(system.count("Initialize:deep:loopback"), 0);
}

TEST_F(CaptureEngineTest, OnlyTwoRatesAreTaken) {
    system.addDevice(renderDevice("fast", 96000));
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    LogCapture log;
    EXPECT_EQ(other.startCapture(3, is48k), -2);
    EXPECT_EQ(log.count("Audio device sample rate not supported.\n"), 1);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_NE(boxes.shown()[0].find("to 44100 or 48000."), std::string::npos);
    EXPECT_EQ(system.count("Initialize:fast:loopback"), 0);
}

TEST_F(CaptureEngineTest, At44100TheStreamIsNot48k) {
    system.addDevice(renderDevice("cd", 44100));
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    is48k = true;
    ASSERT_EQ(other.startCapture(3, is48k), 0);
    EXPECT_FALSE(is48k);
    other.stopCapture();
}

TEST_F(CaptureEngineTest, MixFormatIsPrinted) {
    LogCapture log;
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(log.count("Mix format: Channels=2, Samples Per Sec=48000, Bits Per Sample=32\n"), 1);
}

TEST_F(CaptureEngineTest, UnpluggedDeviceSaysSo) {
    system.fail("Activate:speakers", audio::kErrorDeviceInvalidated);
    LogCapture log;
    EXPECT_EQ(startup.startCapture(1, is48k), -2);
    EXPECT_EQ(log.count("Unable to activate audio device: 88890004\n"), 1);
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{
                                 "Error, unable to activate audio device (code 88890004).\nIt may "
                                 "be unplugged, plug in and select this device again."});
}

TEST_F(CaptureEngineTest, OtherActivationErrorsShowTheirCode) {
    system.fail("Activate:speakers", audio::kErrorOutOfMemory);
    EXPECT_EQ(startup.startCapture(1, is48k), -2);
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{"Error, unable to activate audio device (code 8007000e)"});
}

TEST_F(CaptureEngineTest, FailedClientStartStopsEverything) {
    system.fail("Start", audio::kErrorFail);
    LogCapture log;
    EXPECT_EQ(startup.startCapture(1, is48k), -1);
    EXPECT_EQ(log.count("Unable to start capture client: 80004005\n"), 1);
    EXPECT_FALSE(startup.capturing());
}

TEST_F(CaptureEngineTest, StopEndsTheBlocks) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.pushFrames("speakers", 338, 0.25f);
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    startup.stopCapture();
    int plain = sink.count(kPlainBlockLength);
    int opus = sink.count(kOpusBlockLength);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sink.count(kPlainBlockLength), plain);
    EXPECT_EQ(sink.count(kOpusBlockLength), opus);
    EXPECT_EQ(system.count("Stop:speakers"), 1);
}

// Stream switching, index 0.

TEST_F(CaptureEngineTest, NewDefaultWithTheSameFormatIsFollowed) {
    system.addDevice(renderDevice("headphones"));
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    EXPECT_EQ(system.notificationClients(), 1);
    system.setDefault(audio::DataFlow::Render, "headphones");
    ASSERT_TRUE(system.waitForCall("Start:headphones", 1));
    system.pushFrames("headphones", 338, -0.25f);
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    EXPECT_EQ(sampleAt(sink.of(kPlainBlockLength).back(), 0, 0), -8192);
    startup.stopCapture();
    EXPECT_EQ(system.notificationClients(), 0);
}

TEST_F(CaptureEngineTest, NewDefaultWithAnotherFormatEndsTheCapture) {
    system.addDevice(renderDevice("hdmi", 44100));
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    system.setDefault(audio::DataFlow::Render, "hdmi");
    ASSERT_TRUE(system.waitForCall("GetMixFormat:hdmi", 1));
    EXPECT_TRUE(log.waitForPrefix("New mix"));
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
    EXPECT_EQ(system.count("Initialize:hdmi:loopback"), 0);
    EXPECT_TRUE(startup.capturing());  // the capturer stays until the next stop
}

TEST_F(CaptureEngineTest, ChannelMaskAloneIsAnotherFormat) {
    auto other = renderDevice("other");
    other.format.channelMask = 0;
    system.addDevice(other);
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    system.setDefault(audio::DataFlow::Render, "other");
    ASSERT_TRUE(system.waitForCall("GetMixFormat:other", 1));
    EXPECT_TRUE(log.waitForPrefix("New mix"));
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
}

TEST_F(CaptureEngineTest, DefaultCaptureDeviceChangeIsIgnored) {
    system.addDevice(captureDevice("mic2"));
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    system.setDefault(audio::DataFlow::Capture, "mic2");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(system.count("Stop:speakers"), 0);
    EXPECT_EQ(system.count("Activate:speakers"), 1);
}

TEST_F(CaptureEngineTest, FormatChangeReopensAtOnceAndChecksTheFormat) {
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    system.changeFormat("speakers", audio::FloatMixFormat(2, 44100, 0x3));
    ASSERT_TRUE(system.waitForCall("GetMixFormat:speakers", 2));
    EXPECT_TRUE(log.waitForPrefix("New mix"));
    EXPECT_EQ(log.count("New mix format doesn't match old mix format.  Aborting.\n"), 1);
    EXPECT_EQ(log.count("Stream switch timeout - aborting...\n"), 0);
}

TEST_F(CaptureEngineTest, RemovedDefaultWithoutReplacementEndsTheCapture) {
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    // The new-device event starts set: the switch looks for the default at once, finds the
    // removed device still named and cannot open it.
    system.removeDevice("speakers");
    EXPECT_EQ(
        log.waitForCount("Unable to activate audio device on the new endpoint: 88890004\n", 1, 10s),
        1);
}

TEST_F(CaptureEngineTest, SecondRemovalWaitsForANewDefault) {
    system.addDevice(renderDevice("headphones"));
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    system.setDefault(audio::DataFlow::Render, "headphones");
    ASSERT_TRUE(system.waitForCall("Start:headphones", 1));
    system.removeDevice("headphones");
    EXPECT_TRUE(log.waitForPrefix("Stream switch timeout"));
    EXPECT_EQ(log.count("Stream switch timeout - aborting...\n"), 1);
}

TEST_F(CaptureEngineTest, FixedEndpointDoesNotFollowTheDefault) {
    system.addDevice(renderDevice("headphones"));
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(system.notificationClients(), 0);
    EXPECT_EQ(system.count("GetService:session"), 0);
}

// The 48 kHz advice.

class Advice48kTest : public CaptureEngineTest {
  protected:
    Advice48kTest() : CaptureEngineTest(false) {}
    static constexpr const char* kAdvicePrefix =
        "Warning, audio device is set to sample rate 48000";
    int adviceCount() {
        int n = 0;
        for (auto& text : boxes.shown()) n += text.rfind(kAdvicePrefix, 0) == 0;
        return n;
    }
};

TEST_F(Advice48kTest, SpeakersAt48kAdviseOnceAndRemember) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 1);
    EXPECT_EQ(adviceRecorded, 1);
    startup.stopCapture();
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 1);
    EXPECT_EQ(adviceRecorded, 1);
    // A later run whose setting says it was shown keeps it away.
    startup.stopCapture();
    adviceShownBefore = true;
    AudioStartup restarted(endpoints, sink, boxes, channels, warn48k());
    ASSERT_EQ(restarted.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 1);
}

TEST_F(Advice48kTest, AdviceTextNamesBothRates) {
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    ASSERT_EQ(adviceCount(), 1);
    EXPECT_NE(boxes.shown()[0].find("to 44100."), std::string::npos);
}

TEST_F(Advice48kTest, MicrophoneDescriptionInAnyCaseMeansNoAdvice) {
    auto device = captureDevice("usbmic", 48000, "USB MICROPHONE");
    system.addDevice(device);
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    ASSERT_EQ(other.startCapture(3, is48k), 0);
    EXPECT_EQ(adviceCount(), 0);
    EXPECT_EQ(adviceRecorded, 0);
}

TEST_F(Advice48kTest, FormFactorOrPortsCanMakeAnInput) {
    auto byForm = captureDevice("a", 48000, "Webcam");
    byForm.properties.formFactor = "microphone";
    auto byPort = captureDevice("b", 48000, "Built-in Audio Analog Stereo");
    byPort.properties.portNames = {"analog-input-front-mic", "Front Mic"};
    auto byAux = captureDevice("c", 48000, "Line");
    byAux.properties.portNames = {"analog-input-linein", "Aux Jack"};
    system.addDevice(byForm);
    system.addDevice(byPort);
    system.addDevice(byAux);
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    for (int index : {3, 4, 5}) {
        ASSERT_EQ(other.startCapture(index, is48k), 0);
        other.stopCapture();
    }
    EXPECT_EQ(adviceCount(), 0);
}

TEST_F(Advice48kTest, UnreadablePropertiesCountAsNotAnInput) {
    system.fail("OpenPropertyStore:mic", audio::kErrorFail);
    ASSERT_EQ(startup.startCapture(2, is48k), 0);
    EXPECT_EQ(adviceCount(), 1);
}

TEST_F(Advice48kTest, EnvironmentSwitchSuppressesWithoutRemembering) {
    ::setenv("QUAVELINK_SERVER_NOWARN_48K", "ON", 1);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 0);
    EXPECT_EQ(adviceRecorded, 0);
    startup.stopCapture();
    // Once per run: the same run does not show it when the variable goes.
    ::unsetenv("QUAVELINK_SERVER_NOWARN_48K");
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 0);
    // A new run does.
    startup.stopCapture();
    AudioStartup nextRun(endpoints, sink, boxes, channels, warn48k());
    ASSERT_EQ(nextRun.startCapture(1, is48k), 0);
    EXPECT_EQ(adviceCount(), 1);
}

TEST_F(Advice48kTest, At44100ThereIsNoAdvice) {
    system.addDevice(renderDevice("cd", 44100));
    EndpointList list(system);
    list.findEndpoint(0);
    AudioStartup other(list, sink, boxes, channels, warn48k());
    ASSERT_EQ(other.startCapture(3, is48k), 0);
    EXPECT_EQ(adviceCount(), 0);
}

}  // namespace
}  // namespace quavelink::test
