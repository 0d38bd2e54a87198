// The client's output against a private sound server: a null sink pulls from it at its own pace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "client/audio_output.h"
#include "pulse_daemon.h"
#include "wait_until.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

// Counts what the sound server pulled; stalls once, for `stall`, when asked to.
struct CountingFill {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<bool> stallNow{false};
    std::chrono::milliseconds stall{0};

    AudioOutput::Fill fill() {
        return [this](std::int16_t* out, std::size_t count) {
            std::fill(out, out + count * 2, 0);
            frames += count;
            if (stallNow.exchange(false)) std::this_thread::sleep_for(stall);
        };
    }
};

// Its answer to a request held back for longer than it keeps queued, the sound server runs
// dry: that is counted, and the room it is given grows by a step at once, while the pulling
// goes on at the stream's pace.
TEST(PulseOutput, ARequestAnsweredLateRunsItDryAndItsBufferGrowsByAStep) {
    PulseDaemon pulse({"module-null-sink sink_name=out rate=48000"});
    ASSERT_TRUE(pulse.ready());
    auto output = createPulseOutput("out", "QuaveLink output test");
    CountingFill counting;
    counting.stall = 80ms;
    std::string error;
    ASSERT_TRUE(output->open(48000, 6, counting.fill(), error)) << error;
    EXPECT_EQ(output->bufferMs(), 6);
    // Past the stream's first two seconds, whose runs dry are counted but not answered.
    ASSERT_TRUE(waitUntil([&] { return counting.frames > 48000 * 5 / 2; }, 8s))
        << "not pulled at the stream's pace";

    counting.stallNow = true;
    ASSERT_TRUE(waitUntil([&] { return output->underflows() > 0; }, 5s))
        << "an answer 80 ms late did not run a 6 ms buffer dry";
    EXPECT_GE(output->bufferMs(), 10);
    EXPECT_LE(output->bufferMs(), 46);

    const std::uint64_t before = counting.frames;
    std::this_thread::sleep_for(500ms);
    const std::uint64_t pulled = counting.frames - before;
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
    CountingFill counting;
    std::string error;
    ASSERT_TRUE(output->open(44100, 6, counting.fill(), error)) << error;
    ASSERT_TRUE(waitUntil([&] { return counting.frames > 4410; }, 5s)) << "nothing pulled";
    output->close();
    const std::uint64_t atClose = counting.frames;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(counting.frames, atClose);

    ASSERT_TRUE(output->open(48000, 6, counting.fill(), error)) << error;
    pulse.kill(SIGKILL);
    std::string failure;
    EXPECT_TRUE(waitUntil([&] { return output->failed(failure); }, 3s));
    EXPECT_NE(failure.find("PulseAudio playback failed"), std::string::npos) << failure;
    output->close();
    EXPECT_FALSE(output->open(48000, 6, counting.fill(), error));
    EXPECT_NE(error.find("PulseAudio playback could not start"), std::string::npos) << error;
}

}  // namespace
}  // namespace quavelink::test
