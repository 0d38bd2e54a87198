#include "client/player.h"

#include <gtest/gtest.h>

#include <vector>

#include "client/playout.h"

namespace quavelink {
namespace {

// An output that the test pulls through, as the sound server would, and that fails when told to.
class ScriptedOutput : public AudioOutput {
  public:
    struct Script {
        std::vector<int> openedRates;
        int bufferMs = 0;
        bool failOpen = false;
        bool failStream = false;
        bool open = false;
        std::uint64_t underflows = 0;
        int shownMs = 0;
        Fill fill;

        // The sound server asking for `frames`; the middle sample of what it got.
        std::int16_t pull(std::size_t frames) {
            std::vector<std::int16_t> out(frames * 2, -1);
            fill(out.data(), frames);
            return out[frames / 2 * 2];
        }
    };
    explicit ScriptedOutput(Script& script) : script(script) {}
    bool open(int sampleRate, int bufferMs, Fill fill, std::string& error) override {
        if (script.failOpen) {
            error = "no sound server";
            return false;
        }
        script.openedRates.push_back(sampleRate);
        script.bufferMs = bufferMs;
        script.fill = std::move(fill);
        script.open = true;
        return true;
    }
    bool failed(std::string& error) override {
        if (script.failStream) error = "connection to the sound server lost";
        return script.failStream;
    }
    std::int64_t latencyUs() override { return 12500; }
    std::uint64_t underflows() override { return script.underflows; }
    int bufferMs() override { return script.shownMs; }
    void close() override {
        script.underflows = 0;
        script.open = false;
        script.fill = nullptr;
    }

  private:
    Script& script;
};

TEST(Player, OpensAtTheRateOfTheAudioDueReopensWhenItChangesAndSurvivesAFailingOutput) {
    PlayoutSettings fixed;
    fixed.adaptive = false;
    Playout buffer(fixed);
    std::int64_t now = 0;
    ScriptedOutput::Script script;
    Player player(buffer, std::make_unique<ScriptedOutput>(script), 20,
                  [&] { return now += 5000; });

    EXPECT_GT(player.runOnce(), 0);  // nothing queued: nothing to open yet
    EXPECT_TRUE(script.openedRates.empty());

    std::vector<std::int16_t> audio(480 * 2, 77);
    buffer.push(audio.data(), 480, 48000, now);
    player.runOnce();
    EXPECT_EQ(script.openedRates, std::vector<int>{48000});
    EXPECT_EQ(script.bufferMs, 20);
    EXPECT_NEAR(script.pull(240), 77, 2);
    player.runOnce();
    EXPECT_EQ(player.outputLatencyMs(), 12);

    // The new rate's audio waits, as silence, until the rest of the old rate's has played and
    // the stream is opened again at the new rate.
    std::vector<std::int16_t> other(441 * 2, 55);
    buffer.push(other.data(), 441, 44100, now);
    script.pull(240);
    EXPECT_EQ(script.pull(240), 0);
    EXPECT_EQ(script.openedRates, std::vector<int>{48000});
    player.runOnce();
    EXPECT_EQ(script.openedRates, (std::vector<int>{48000, 44100}));
    EXPECT_EQ(player.openRate(), 44100);

    // A failed stream is closed and opened again, a second later, once the sound server is back.
    script.failStream = true;
    EXPECT_GE(player.runOnce(), 1000);
    EXPECT_FALSE(script.open);
    EXPECT_EQ(player.openRate(), 0);
    script.failStream = false;
    script.failOpen = true;
    EXPECT_GE(player.runOnce(), 1000);
    script.failOpen = false;
    player.runOnce();
    EXPECT_EQ(script.openedRates, (std::vector<int>{48000, 44100, 44100}));
    EXPECT_EQ(player.openRate(), 44100);

    player.stop();
    EXPECT_FALSE(script.open);
}

// The status line counts every time the sound server ran dry, over every stream opened.
TEST(Player, CountsTheOutputsUnderflowsOverEveryStreamAndShowsItsBuffer) {
    Playout buffer(PlayoutSettings{});
    ScriptedOutput::Script script;
    Player player(buffer, std::make_unique<ScriptedOutput>(script), 6, [] { return 0; });
    std::vector<std::int16_t> audio(480 * 2, 5);
    buffer.push(audio.data(), 480, 48000, 0);
    player.runOnce();
    ASSERT_TRUE(script.open);
    script.underflows = 2;
    script.shownMs = 14;
    player.runOnce();
    EXPECT_EQ(player.outputUnderflows(), 2u);
    EXPECT_EQ(player.outputBufferMs(), 14);

    script.failStream = true;  // closing it resets its own count
    player.runOnce();
    script.failStream = false;
    player.runOnce();
    EXPECT_EQ(script.bufferMs, 6);
    script.underflows = 1;
    player.runOnce();
    EXPECT_EQ(player.outputUnderflows(), 3u);
}

}  // namespace
}  // namespace quavelink
