#include "client/player.h"

#include <gtest/gtest.h>

#include "client/jitter_buffer.h"

namespace quavelink {
namespace {

// An output that records what it is asked to do and fails when told to.
class ScriptedOutput : public AudioOutput {
  public:
    struct Log {
        std::vector<int> openedRates;
        std::vector<std::size_t> writes;
        std::vector<std::int16_t> firstSamples;
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
        log.firstSamples.push_back(samples[0]);
        return true;
    }
    std::int64_t latencyUs() override { return 12500; }
    void close() override {}

  private:
    Log& log;
};

TEST(Player, FollowsTheRateOfTheQueuedAudioAndSurvivesAFailingOutput) {
    JitterBuffer buffer(0);
    ScriptedOutput::Log log;
    Player player(buffer, std::make_unique<ScriptedOutput>(log), 20);

    EXPECT_GT(player.runOnce(), 0);  // nothing queued: nothing to open yet
    EXPECT_TRUE(log.openedRates.empty());

    std::vector<std::int16_t> audio(480 * 2, 77);
    buffer.push(audio.data(), 480, 48000);
    EXPECT_EQ(player.runOnce(), 0);
    EXPECT_EQ(log.openedRates, std::vector<int>{48000});
    EXPECT_EQ(log.writes.back(), 240u);  // 5 ms
    EXPECT_EQ(log.firstSamples.back(), 77);
    EXPECT_EQ(player.outputLatencyMs(), 12);

    buffer.push(audio.data(), 480, 44100);
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

TEST(Player, TheSoundServerHoldsThreeQuartersOfTheTargetAndAtLeast10Ms) {
    EXPECT_EQ(outputBufferMsFor(20), 15);
    EXPECT_EQ(outputBufferMsFor(0), 10);
    EXPECT_EQ(outputBufferMsFor(12), 10);
    EXPECT_EQ(outputBufferMsFor(24), 18);
    EXPECT_EQ(outputBufferMsFor(60), 45);
    EXPECT_EQ(outputBufferMsFor(2000), 1500);
}

}  // namespace
}  // namespace quavelink
