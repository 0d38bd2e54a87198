#include "capture/audio_startup.h"

#include <gtest/gtest.h>

#include <thread>

#include "capture/pcm_conversion.h"
#include "capture/silence_renderer.h"
#include "capture/wasapi_capture.h"
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
        SetWarn48kDone(true);
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
    EXPECT_TRUE(sink.waitFor(kPlainBlockSize, 1));
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
    ASSERT_TRUE(sink.waitFor(kPlainBlockSize, 1));
    EXPECT_EQ(sampleAt(sink.of(kPlainBlockSize).back(), 0, 0), toPcm16(0.5f));
}

class SilenceRendererTest : public CaptureTest {};

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

TEST_F(SilenceRendererTest, RefillFailureIsReported) {
    system.addDevice(renderDevice("speakers"));
    system.setDefault(audio::DataFlow::Render, "speakers");
    system.fail("GetCurrentPadding", audio::kErrorDeviceInvalidated);
    LogCapture log;
    SilenceRenderer renderer(system, boxes);
    ASSERT_TRUE(renderer.waitEnded(3000ms));
    EXPECT_EQ(log.count("PlaySilence: Error from GetCurrentPadding(): 88890004\n"), 1);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

}  // namespace
}  // namespace quavelink::test
