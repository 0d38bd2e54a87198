// A PipeWire sink's monitor taken before the sink's volume while a hold lives, and following the
// volume again once it is gone, on the private PipeWire of the tests.
#include "platform/audio/pipewire_monitor.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/pulse_daemon.h"
#include "support/pulse_player.h"

namespace quavelink::test {
namespace {

using audio::KeepMonitorBeforeVolume;

// A tone at half scale: its RMS level, and the most that is left of it at 30 % volume.
constexpr double kFullLevel = 0.3536;
constexpr double kLowered = 0.05;

class PipeWireMonitor : public ::testing::Test {
  protected:
    void SetUp() override {
        if (PulseDaemon::configuredKind() != PulseDaemon::Kind::PipeWire) {
            GTEST_SKIP() << "a PipeWire matter: QUAVELINK_TEST_SOUND_SERVER=pipewire runs it";
        }
        daemon.emplace(std::vector<std::string>{"module-null-sink sink_name=out rate=48000"});
        ASSERT_TRUE(daemon->ready());
        player.emplace("out", PulsePlayer::Options{}, stereoTones(1000, 1000, 48000, 2));
        ASSERT_EQ(daemon->pactl("set-sink-volume out 30%"), 0);
    }

    // The monitor's level once a change has settled.
    static double monitorLevel() { return recordedLevel("out.monitor", 600); }

    std::optional<PulseDaemon> daemon;
    std::optional<PulsePlayer> player;
};

TEST_F(PipeWireMonitor, AHeldMonitorCarriesTheSinkBeforeItsVolumeAndMuteUntilReleased) {
    EXPECT_LT(monitorLevel(), kLowered) << "the null sink's monitor follows its volume";
    auto hold = KeepMonitorBeforeVolume("out");
    ASSERT_TRUE(hold);
    EXPECT_NEAR(monitorLevel(), kFullLevel, 0.03);
    ASSERT_EQ(daemon->pactl("set-sink-mute out 1"), 0);
    EXPECT_NEAR(monitorLevel(), kFullLevel, 0.03) << "muted";
    ASSERT_EQ(daemon->pactl("set-sink-mute out 0"), 0);
    hold.reset();
    EXPECT_LT(monitorLevel(), kLowered) << "released";
}

TEST_F(PipeWireMonitor, ReleasingEveryHoldAtOnceLeavesNothingForTheirLaterEnd) {
    auto first = KeepMonitorBeforeVolume("out");
    ASSERT_TRUE(first);
    audio::ReleaseMonitorHolds();
    EXPECT_LT(monitorLevel(), kLowered);
    // A capture after the release holds the monitor again; the first hold's end must not undo it.
    auto second = KeepMonitorBeforeVolume("out");
    ASSERT_TRUE(second);
    first.reset();
    EXPECT_NEAR(monitorLevel(), kFullLevel, 0.03);
}

TEST_F(PipeWireMonitor, NoHoldForASinkThatIsNotThere) {
    EXPECT_FALSE(KeepMonitorBeforeVolume("nothing"));
    EXPECT_FALSE(KeepMonitorBeforeVolume("out.monitor"));
}

}  // namespace
}  // namespace quavelink::test
