// The client's output against a private sound server: a null sink pulls from it at its own pace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "client/output/audio_output.h"
#include "pulse_daemon.h"
#include "scripted_feed.h"
#include "wait_until.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

// The sink runs at the output's 5 ms, not at a fraction of a ms; once the sound server has told
// its timing the output says what it holds, and audio that arrives is taken at once. An answer
// held back for longer than the output holds runs it dry, and the feed, whose controller keeps
// the margin, is told; the stream goes on at its pace.
TEST(PulseOutput, HoldsWhatItIsHandedTellsItsRunsDryAndLeavesTheSinkAtFiveMs) {
    PulseDaemon pulse({"module-null-sink sink_name=out rate=48000"});
    ASSERT_TRUE(pulse.ready());
    auto output = createPulseOutput("out", "QuaveLink output test");
    ScriptedFeed feed;
    feed.stall = 80ms;
    std::string error;
    ASSERT_TRUE(output->open(48000, feed, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return feed.heldUs >= 0 && feed.frames > 48000; }, 8s))
        << "its timing never told, or not pulled at the stream's pace";
    EXPECT_NEAR(static_cast<double>(feed.leastUs), output->deviceLatencyMs() * 1000 + 1000, 100);
    EXPECT_LE(feed.heldUs, std::max<std::int64_t>(ScriptedFeed::kKeepUs, feed.leastUs) + 3000);
    // PulseAudio runs the sink at what the stream asks for, and asks again once what the stream
    // holds has fallen a request below what it was handed; PipeWire runs it at its graph's
    // quantum and asks a quantum ahead.
    if (!pulse.isPipeWire()) {
        EXPECT_NEAR(output->deviceLatencyMs(), 5, 0.5);
        EXPECT_GE(feed.heldUs, feed.leastUs);
    }

    const std::uint64_t pullsBefore = feed.pulls;
    output->audioArrived();
    EXPECT_TRUE(waitUntil([&] { return feed.pulls > pullsBefore; }, 1s));

    feed.stallNow = true;
    ASSERT_TRUE(waitUntil([&] { return feed.ranDry > 0; }, 5s))
        << "an answer 80 ms late did not run 20 ms dry";
    EXPECT_EQ(output->underflows(), feed.ranDry.load());
    const std::uint64_t before = feed.frames;
    std::this_thread::sleep_for(500ms);
    const std::uint64_t pulled = feed.frames - before;
    EXPECT_GT(pulled, 24000u / 2) << "the stream stopped being pulled";
    EXPECT_LT(pulled, 24000u * 2);
    std::string failure;
    EXPECT_FALSE(output->failed(failure)) << failure;
    output->close();
}

// Once closed nothing is pulled any more; a sound server that goes away is told as a failure.
TEST(PulseOutput, NothingIsPulledAfterCloseAndALostSoundServerIsAFailure) {
    PulseDaemon pulse({"module-null-sink sink_name=out rate=48000"});
    ASSERT_TRUE(pulse.ready());
    auto output = createPulseOutput("out", "QuaveLink output test");
    ScriptedFeed feed;
    feed.rate = 44100;
    std::string error;
    ASSERT_TRUE(output->open(44100, feed, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return feed.frames > 4410; }, 5s)) << "nothing pulled";
    output->close();
    const std::uint64_t atClose = feed.frames;
    output->audioArrived();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(feed.frames, atClose);

    feed.rate = 48000;
    ASSERT_TRUE(output->open(48000, feed, error)) << error;
    pulse.kill(SIGKILL);
    std::string failure;
    EXPECT_TRUE(waitUntil([&] { return output->failed(failure); }, 3s));
    EXPECT_NE(failure.find("PulseAudio playback failed"), std::string::npos) << failure;
    output->close();
    EXPECT_FALSE(output->open(48000, feed, error));
    EXPECT_NE(error.find("PulseAudio playback could not start"), std::string::npos) << error;
}

}  // namespace
}  // namespace quavelink::test
