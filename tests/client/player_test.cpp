#include "client/playout/player.h"

#include <gtest/gtest.h>

#include <vector>

#include "client/playout/playout.h"

namespace quavelink {
namespace {

// An output that the test pulls through, as the sound server would, and that fails when told to.
class ScriptedOutput : public AudioOutput {
  public:
    struct Script {
        std::vector<int> openedRates;
        bool failOpen = false;
        bool failStream = false;
        bool open = false;
        Realtime realtime = Realtime::RealtimeKit;
        PlayoutFeed* feed = nullptr;

        // The sound server asking for `frames`; the middle sample of what it got.
        std::int16_t pull(std::size_t frames) {
            std::vector<std::int16_t> out(frames * 2, -1);
            EXPECT_EQ(feed->pull(out.data(), frames, PlayoutFeed::Hold{}), frames);
            return out[frames / 2 * 2];
        }
    };
    explicit ScriptedOutput(Script& script) : script(script) {}
    bool open(int sampleRate, PlayoutFeed& feed, std::string& error) override {
        if (script.failOpen) {
            error = "no sound server";
            return false;
        }
        script.openedRates.push_back(sampleRate);
        script.feed = &feed;
        script.open = true;
        return true;
    }
    void audioArrived() override {}
    bool failed(std::string& error) override {
        if (script.failStream) error = "connection to the sound server lost";
        return script.failStream;
    }
    std::uint64_t underflows() override { return 0; }
    double deviceLatencyMs() override { return 5; }
    Realtime realtime(std::string&) override { return script.realtime; }
    void close() override {
        script.open = false;
        script.feed = nullptr;
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
    Player player(buffer, std::make_unique<ScriptedOutput>(script), [&] { return now += 5000; });

    EXPECT_GT(player.runOnce(), 0);  // nothing queued: nothing to open yet
    EXPECT_TRUE(script.openedRates.empty());

    std::vector<std::int16_t> audio(480 * 2, 77);
    buffer.push(audio.data(), 480, 48000, now);
    player.runOnce();
    EXPECT_EQ(script.openedRates, std::vector<int>{48000});
    EXPECT_NEAR(script.pull(240), 77, 2);
    player.runOnce();
    EXPECT_EQ(player.outputRealtime(), AudioOutput::Realtime::RealtimeKit);
    EXPECT_EQ(player.deviceLatencyMs(), 5);

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

}  // namespace
}  // namespace quavelink
