#include "client/player.h"

#include <gtest/gtest.h>

#include "client/playout.h"

namespace quavelink {
namespace {

// An output that records what it is asked to do and fails when told to.
class ScriptedOutput : public AudioOutput {
  public:
    struct Log {
        std::vector<int> openedRates;
        std::vector<std::size_t> writes;
        std::vector<std::int16_t> middleSamples;
        bool failOpen = false;
        bool failWrite = false;
    };
    explicit ScriptedOutput(Log& log) : log(log) {}
    bool open(int sampleRate, int, std::string& error) override {
        if (log.failOpen) {
            error = "no sound server";
            return false;
        }
        log.openedRates.push_back(sampleRate);
        return true;
    }
    bool write(const std::int16_t* samples, std::size_t frames, std::string& error) override {
        if (log.failWrite) {
            error = "connection to the sound server lost";
            return false;
        }
        log.writes.push_back(frames);
        log.middleSamples.push_back(samples[frames / 2 * 2]);
        return true;
    }
    std::int64_t latencyUs() override { return 12500; }
    void close() override {}

  private:
    Log& log;
};

TEST(Player, FollowsTheRateOfTheQueuedAudioAndSurvivesAFailingOutput) {
    PlayoutSettings fixed;
    fixed.adaptive = false;
    Playout buffer(fixed);
    std::int64_t now = 0;
    ScriptedOutput::Log log;
    Player player(buffer, std::make_unique<ScriptedOutput>(log), 20, [&] { return now += 5000; });

    EXPECT_GT(player.runOnce(), 0);  // nothing queued: nothing to open yet
    EXPECT_TRUE(log.openedRates.empty());

    std::vector<std::int16_t> audio(480 * 2, 77);
    buffer.push(audio.data(), 480, 48000, now);
    EXPECT_EQ(player.runOnce(), 0);
    EXPECT_EQ(log.openedRates, std::vector<int>{48000});
    EXPECT_EQ(log.writes.back(), 240u);  // 5 ms, a quarter of the 20 ms output buffer
    EXPECT_NEAR(log.middleSamples.back(), 77, 2);
    EXPECT_EQ(player.outputLatencyMs(), 12);
    player.runOnce();  // the rest of the 48000 Hz audio goes before the new rate starts

    buffer.push(audio.data(), 480, 44100, now);
    player.runOnce();
    EXPECT_EQ(log.openedRates, (std::vector<int>{48000, 44100}));
    EXPECT_EQ(log.writes.back(), 220u);

    // A failed write closes the output; it is opened again once the sound server is back.
    log.failWrite = true;
    EXPECT_GT(player.runOnce(), 0);
    EXPECT_EQ(player.openRate(), 0);
    log.failWrite = false;
    log.failOpen = true;
    EXPECT_GT(player.runOnce(), 0);
    log.failOpen = false;
    EXPECT_EQ(player.runOnce(), 0);
    EXPECT_EQ(log.openedRates, (std::vector<int>{48000, 44100, 44100}));
    EXPECT_EQ(player.openRate(), 44100);
}

// A chunk taken from the playout waits in hand until all of it fits in the output: with a
// small output buffer the player takes what the sound server asks for at a time, a quarter.
TEST(Player, TakesAQuarterOfASmallOutputBufferAtATime) {
    Playout buffer(PlayoutSettings{});
    std::int64_t now = 0;
    ScriptedOutput::Log log;
    Player player(buffer, std::make_unique<ScriptedOutput>(log), 8, [&] { return now += 2000; });
    std::vector<std::int16_t> audio(480 * 2, 5);
    buffer.push(audio.data(), 480, 48000, now);
    player.runOnce();
    ASSERT_FALSE(log.writes.empty());
    EXPECT_EQ(log.writes.back(), 96u);  // 2 ms
}

}  // namespace
}  // namespace quavelink
