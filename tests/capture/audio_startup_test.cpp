#include "capture/audio_startup.h"

#include <gtest/gtest.h>

#include <thread>

#include "capture/capture_engine.h"
#include "capture/pcm_conversion.h"
#include "capture/silence_renderer.h"
#include "capture_fixture.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

class AudioStartupTest : public CaptureTest {
  protected:
    void SetUp() override {
        CaptureTest::SetUp();
        system.addDevice(renderDevice("speakers"));
        system.setDefault(audio::DataFlow::Render, "speakers");
    }
};

TEST_F(AudioStartupTest, SilenceCanBeSwitchedOff) {
    ::setenv("QUAVELINK_SERVER_NOSILENCE", "On", 1);
    LogCapture log;
    ASSERT_EQ(endpoints.findEndpoint(0), audio::kOk);
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    EXPECT_EQ(log.count("Env var QUAVELINK_SERVER_NOSILENCE enabled, skipping start of "
                        "PlaySilence thread\n"),
              1);
    EXPECT_FALSE(log.containsPrefix("PlaySilence thread started"));
    // A direct second call only says so again.
    EXPECT_EQ(startup.WInit(), 0);
    system.pushFrames("speakers", 338, 0.25f);
    EXPECT_TRUE(sink.waitFor(kPlainBlockLength, 1));
}

TEST_F(AudioStartupTest, WInitRunsOnceThroughStartCapture) {
    ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
    LogCapture log;
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    startup.stopCapture();
    ASSERT_EQ(startup.startCapture(0, is48k), 0);
    EXPECT_EQ(log.waitForCount("PlaySilence thread started\n", 1, std::chrono::seconds(5)), 1);
    EXPECT_EQ(startup.WInit(), -1);
    EXPECT_EQ(log.count("WInit() called more than once!"), 1);
}

TEST_F(AudioStartupTest, FailedLookupLeavesNothingRunning) {
    LogCapture log;
    EXPECT_EQ(startup.startCapture(7, is48k), audio::kErrorNotFound);
    EXPECT_EQ(log.count("Unable to retrieve device 6: 80070490\n"), 1);
    EXPECT_FALSE(startup.capturing());
}

TEST_F(AudioStartupTest, StopWithoutCaptureIsHarmless) {
    startup.stopCapture();
    startup.stopCapture();
    EXPECT_FALSE(startup.capturing());
}

TEST_F(AudioStartupTest, RestartOnAnotherIndexMovesTheCapture) {
    system.addDevice(renderDevice("headphones"));
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    startup.stopCapture();
    ASSERT_EQ(startup.startCapture(2, is48k), 0);
    system.pushFrames("headphones", 338, 0.5f);
    ASSERT_TRUE(sink.waitFor(kPlainBlockLength, 1));
    EXPECT_EQ(sampleAt(sink.of(kPlainBlockLength).back(), 0, 0), toPcm16(0.5f));
}

TEST_F(AudioStartupTest, ProbeTellsAGoneEndpointFromAMissingSoundServer) {
    using State = CaptureControl::EndpointState;
    EXPECT_EQ(startup.probeEndpoint(1), State::Present);
    system.removeDevice("speakers");
    EXPECT_EQ(startup.probeEndpoint(1), State::Gone);
    EXPECT_EQ(startup.probeEndpoint(0), State::Gone);
    system.fail("CreateDeviceEnumerator", audio::kErrorServiceNotRunning, 2);
    EXPECT_EQ(startup.probeEndpoint(1), State::NoSoundServer);
    EXPECT_EQ(startup.probeEndpoint(0), State::NoSoundServer);
}

TEST_F(AudioStartupTest, ARetryLogsWhatAChoiceShowsAndSeesTheEndpointReturn) {
    ::setenv("QUAVELINK_SERVER_NOSILENCE", "On", 1);
    ASSERT_EQ(endpoints.findEndpoint(0), audio::kOk);
    system.removeDevice("speakers");
    LogCapture log;
    EXPECT_EQ(startup.retryCapture(1, is48k), -2);
    EXPECT_TRUE(boxes.shown().empty());
    EXPECT_EQ(log.count("Message: Error, unable to activate audio device (code 88890004).\nIt may "
                        "be unplugged, plug in and select this device again.\n"),
              1);
    EXPECT_EQ(startup.startCapture(1, is48k), -2);
    EXPECT_EQ(boxes.shown().size(), 1u) << "a choice of the user still shows it";

    system.restoreDevice("speakers");
    ASSERT_EQ(startup.retryCapture(1, is48k), 0);
    EXPECT_FALSE(startup.captureEnded());
    system.pushFrames("speakers", 338, 0.25f);
    EXPECT_TRUE(sink.waitFor(kPlainBlockLength, 1));
}

TEST_F(AudioStartupTest, ACaptureWhoseDeviceWentIsSeenToHaveEnded) {
    ::setenv("QUAVELINK_SERVER_NOSILENCE", "On", 1);
    startup.setPollSource(&polls);
    ASSERT_EQ(startup.startCapture(1, is48k), 0);
    system.pushFrames("speakers", 338, 0.25f);
    ASSERT_TRUE(polls.step());
    ASSERT_EQ(sink.count(kPlainBlockLength), 1);
    EXPECT_FALSE(startup.captureEnded());
    system.removeDevice("speakers");
    // Nine polls without data: the engine resets the stream, which fails without the device.
    ASSERT_TRUE(polls.step(9));
    ASSERT_TRUE(polls.waitForEnd());
    EXPECT_TRUE(startup.captureEnded());
    startup.stopCapture();
    EXPECT_FALSE(startup.captureEnded());
}

class SilenceRendererTest : public CaptureTest {};

TEST_F(SilenceRendererTest, WaitsForTheSoundServerInsteadOfEnding) {
    system.addDevice(renderDevice("speakers"));
    system.setDefault(audio::DataFlow::Render, "speakers");
    system.fail("CreateDeviceEnumerator", audio::kErrorServiceNotRunning, 2);
    LogCapture log;
    SilenceRenderer renderer(system, boxes);
    ASSERT_TRUE(system.waitForCall("Start:speakers", 1, 10000));
    // Said once for the outage, not once per try.
    EXPECT_EQ(log.count("PlaySilence: Error from CreateDeviceEnumerator(): 88890010 (the sound "
                        "server cannot be reached), waiting for the sound server\n"),
              1);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(SilenceRendererTest, PlaysSilentBuffersOnTheDefaultRenderEndpoint) {
    system.addDevice(renderDevice("speakers"));
    system.setDefault(audio::DataFlow::Render, "speakers");
    LogCapture log;
    {
        SilenceRenderer renderer(system, boxes);
        ASSERT_TRUE(system.waitForCall("Start:speakers", 1, 3000));
        ASSERT_TRUE(system.waitForCall("GetCurrentPadding", 1, 2000));
    }
    auto calls = system.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "Initialize:speakers:direct"), calls.end());
    // One whole second first, then half a second per refill, all flagged silent.
    EXPECT_GE(system.renderedFrames(), 48000u + 24000u);
    EXPECT_EQ(system.renderedSilentFrames(), system.renderedFrames());
    EXPECT_EQ(log.count("PlaySilence thread started\n"), 1);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(SilenceRendererTest, NoRenderEndpointEndsItWithABox) {
    LogCapture log;
    SilenceRenderer renderer(system, boxes);
    ASSERT_TRUE(renderer.waitEnded(3000ms));
    EXPECT_EQ(log.count("PlaySilence: Error from GetDefaultAudioEndpoint(): 80070490\n"), 1);
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{"PlaySilence thread has died. QuaveLink Server may "
                                       "continue to work, please restart the server if you "
                                       "experience audio problems."});
}

TEST_F(SilenceRendererTest, ASinkThatWentIsLeftForTheNextDefault) {
    system.addDevice(renderDevice("speakers"));
    system.addDevice(renderDevice("headphones"));
    system.setDefault(audio::DataFlow::Render, "speakers");
    SilenceRenderer renderer(system, boxes);
    ASSERT_TRUE(system.waitForCall("Start:speakers", 1, 3000));
    system.setDefault(audio::DataFlow::Render, "headphones");
    system.fail("GetCurrentPadding", audio::kErrorDeviceInvalidated, 1);
    ASSERT_TRUE(system.waitForCall("Start:headphones", 1, 5000));
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(SilenceRendererTest, AnyOtherRefillFailureIsReported) {
    system.addDevice(renderDevice("speakers"));
    system.setDefault(audio::DataFlow::Render, "speakers");
    system.fail("GetCurrentPadding", audio::kErrorFail);
    LogCapture log;
    SilenceRenderer renderer(system, boxes);
    ASSERT_TRUE(renderer.waitEnded(3000ms));
    EXPECT_EQ(log.count("PlaySilence: Error from GetCurrentPadding(): 80004005\n"), 1);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

}  // namespace
}  // namespace quavelink::test
