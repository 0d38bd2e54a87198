// The client's PipeWire output against the tests' private PipeWire (skipped on PulseAudio).
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <sstream>

#include "client/output/audio_output.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "scripted_feed.h"
#include "wait_until.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

class PipeWireOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (PulseDaemon::configuredKind() != PulseDaemon::Kind::PipeWire) {
            GTEST_SKIP() << "a PipeWire matter: QUAVELINK_TEST_SOUND_SERVER=pipewire runs it";
        }
        daemon.emplace(std::vector<std::string>{"module-null-sink sink_name=out rate=48000",
                                                "module-null-sink sink_name=other rate=48000"});
        ASSERT_TRUE(daemon->ready());
        ASSERT_EQ(daemon->pactl("set-default-sink other"), 0);
    }

    // The index of the module that made sink `name`.
    std::string moduleOf(const std::string& name) {
        std::istringstream lines(daemon->pactlOutput("list short modules").value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("sink_name=" + name + " ") != std::string::npos) {
                return line.substr(0, line.find_first_of(" \t"));
            }
        }
        return "";
    }

    std::optional<PulseDaemon> daemon;
    std::unique_ptr<AudioOutput> output = createPipeWireOutput("out", "QuaveLink output test");
    ScriptedFeed feed;
};

// Each graph cycle the output asks for one quantum, the one it asked for when nothing asks
// less, and says what the graph holds ahead of it; it plays on PipeWire's real-time thread. A
// process held up longer than the graph holds is a gap the feed hears of.
TEST_F(PipeWireOutputTest, PullsAQuantumACycleOnTheRealtimeThreadAndTellsItsGaps) {
    feed.stall = 80ms;
    std::string error;
    ASSERT_TRUE(output->open(48000, feed, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return feed.heldUs >= 0 && feed.frames > 48000; }, 8s));
    EXPECT_NEAR(output->deviceLatencyMs(), 256 * 1000.0 / 48000, 0.01);
    EXPECT_NEAR(static_cast<double>(feed.leastUs - feed.heldUs), 256 * 1e6 / 48000, 2);
    std::string detail;
    if (geteuid() == 0) {
        EXPECT_EQ(output->realtime(detail), AudioOutput::Realtime::SoundServer) << detail;
    }

    feed.stallNow = true;
    ASSERT_TRUE(waitUntil([&] { return feed.ranDry > 0; }, 5s));
    EXPECT_EQ(output->underflows(), feed.ranDry.load());
    const std::uint64_t before = feed.frames;
    std::this_thread::sleep_for(500ms);
    EXPECT_NEAR(static_cast<double>(feed.frames - before), 24000, 6000);
}

// Played on the sink asked for; while it is gone, on the default sink; back on it once it
// returns.
TEST_F(PipeWireOutputTest, FollowsItsSinkAwayAndBack) {
    feed.level = 8192;  // a quarter of full scale
    std::string error;
    ASSERT_TRUE(output->open(48000, feed, error)) << error;
    EXPECT_NEAR(recordedLevel("out.monitor", 600), 0.25, 0.02);
    EXPECT_LT(recordedLevel("other.monitor", 600), 0.01);

    ASSERT_EQ(daemon->pactl("unload-module " + moduleOf("out")), 0);
    EXPECT_NEAR(recordedLevel("other.monitor", 800), 0.25, 0.02) << "not on the default";
    ASSERT_EQ(daemon->pactl("load-module module-null-sink sink_name=out rate=48000"), 0);
    EXPECT_NEAR(recordedLevel("out.monitor", 800), 0.25, 0.02) << "not back on its sink";
    std::string failure;
    EXPECT_FALSE(output->failed(failure)) << failure;
}

// PipeWire gone is a failure; once closed, nothing is pulled; without PipeWire nothing opens.
TEST_F(PipeWireOutputTest, ALostPipeWireIsAFailureAndNothingIsPulledAfterClose) {
    std::string error;
    ASSERT_TRUE(output->open(48000, feed, error)) << error;
    ASSERT_TRUE(waitUntil([&] { return feed.frames > 4800; }, 5s));
    daemon->kill(SIGKILL);
    std::string failure;
    EXPECT_TRUE(waitUntil([&] { return output->failed(failure); }, 3s));
    EXPECT_NE(failure.find("PipeWire playback failed"), std::string::npos) << failure;
    output->close();
    const std::uint64_t atClose = feed.frames;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(feed.frames, atClose);
    EXPECT_FALSE(output->open(48000, feed, error));
    EXPECT_NE(error.find("PipeWire playback could not start"), std::string::npos) << error;
}

}  // namespace
}  // namespace quavelink::test
