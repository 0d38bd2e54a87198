#include "controls/peak_meter_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quavelink {
namespace {

// The main window's meter: 2 bands of 27 LEDs on the 0..32768 scale.
void useMainWindowLayout(PeakMeterModel& meter) {
    meter.SetBandLayout(2, 27);
    meter.SetRanges(26214, 32160, 32768);
}

void tickUntilSilent(PeakMeterModel& meter) {
    for (int i = 0; i < 200; ++i) meter.Tick();
}

void deliver(PeakMeterModel& meter, int left, int right) {
    const int values[] = {left, right};
    meter.SetData(values, 0, 2);
}

TEST(PeakMeterModel, BandsStartAtTheFullScaleOfTheMomentTheLayoutWasSet) {
    PeakMeterModel meter;  // layout first, ranges after: starts at 100
    useMainWindowLayout(meter);
    EXPECT_EQ(meter.Bands()[0].level, 100);
    EXPECT_EQ(meter.Bands()[1].peak, 100);
    meter.ResetBands();
    EXPECT_EQ(meter.Bands()[0].level, 32768);
    EXPECT_EQ(meter.Bands()[0].hold, 10);
}

TEST(PeakMeterModel, FullScaleFallsToZeroInTwentyEightTicksWithoutData) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    meter.ResetBands();
    for (int tick = 1; tick <= 27; ++tick) {
        EXPECT_FALSE(meter.Tick());
        EXPECT_EQ(meter.Bands()[0].level, 32768 - tick * 1213) << "tick " << tick;
    }
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].level, 0);
    EXPECT_EQ(meter.Bands()[1].level, 0);
}

TEST(PeakMeterModel, RisesAtOnceAndFallsByAQuarterOfTheGap) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    tickUntilSilent(meter);
    deliver(meter, 20000, 0);
    EXPECT_TRUE(meter.Tick());
    EXPECT_EQ(meter.Bands()[0].level, 20000);
    std::vector<int> levels;
    for (int i = 0; i < 4; ++i) {
        deliver(meter, 0, 0);
        meter.Tick();
        levels.push_back(meter.Bands()[0].level);
    }
    EXPECT_EQ(levels, (std::vector<int>{15000, 11250, 8437, 6328}));
    // The last unit of a gap still falls.
    PeakMeterModel small;
    useMainWindowLayout(small);
    tickUntilSilent(small);
    deliver(small, 3, 3);
    small.Tick();
    deliver(small, 2, 2);
    small.Tick();
    EXPECT_EQ(small.Bands()[0].level, 2);
}

TEST(PeakMeterModel, KeepsTheLargestValueDeliveredBetweenTicks) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    tickUntilSilent(meter);
    deliver(meter, 30000, 100);
    deliver(meter, 2000, 5000);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].target, 30000);
    EXPECT_EQ(meter.Bands()[1].target, 5000);
    // Once applied, the next interval starts afresh.
    deliver(meter, 2000, 5000);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].target, 2000);
}

TEST(PeakMeterModel, DeliveriesForDifferentBandsBetweenTicksAreAllKept) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    tickUntilSilent(meter);
    deliver(meter, 30000, 100);
    const int onlyRight[] = {0, 7000};
    meter.SetData(onlyRight, 1, 1);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].level, 30000);
    EXPECT_EQ(meter.Bands()[1].level, 7000);
}

TEST(PeakMeterModel, OutOfRangeValuesAndCallsAreLimited) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    tickUntilSilent(meter);
    deliver(meter, 40000, -5);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].level, 32768);
    EXPECT_EQ(meter.Bands()[1].level, 0);

    tickUntilSilent(meter);
    const int many[] = {9000, 9000, 9000, 9000};
    meter.SetData(many, 0, 4);  // bands 2 and 3 do not exist
    meter.SetData(many, -1, 2);
    meter.SetData(nullptr, 0, 2);
    meter.SetData(many, 0, 0);
    meter.Tick();
    EXPECT_EQ(meter.Bands().size(), 2u);
    EXPECT_EQ(meter.Bands()[0].level, 9000);
}

TEST(PeakMeterModel, PeakHoldsTenTicksThenFallsHalfAStepPerTick) {
    PeakMeterModel meter;
    useMainWindowLayout(meter);
    tickUntilSilent(meter);
    ASSERT_EQ(meter.Bands()[0].peak, 0);
    deliver(meter, 20000, 0);
    meter.Tick();  // the hold starts with this tick
    for (int tick = 2; tick <= 9; ++tick) {
        deliver(meter, 0, 0);
        meter.Tick();
        EXPECT_EQ(meter.Bands()[0].peak, 20000) << "tick " << tick;
    }
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].peak, 20000 - 606);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].peak, 20000 - 2 * 606);
    // A higher value restarts the hold; a lower one does not move the peak.
    deliver(meter, 25000, 0);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].peak, 25000);
    EXPECT_EQ(meter.Bands()[0].hold, 9);
    deliver(meter, 1000, 0);
    meter.Tick();
    EXPECT_EQ(meter.Bands()[0].peak, 25000);
    EXPECT_EQ(meter.Bands()[0].hold, 8);
}

TEST(PeakMeterModel, SingleLedBandsStepByATenthOfFullScale) {
    const BandState band = PeakMeterModel::TickBand(BandState{50, 50, 50, 0}, false, 100, 1);
    EXPECT_EQ(band.level, 40);
    EXPECT_EQ(band.target, 40);
    EXPECT_EQ(band.peak, 45);
}

// Four delivering threads and a ticking thread share the meter; one delivery of 30000 among
// thousands of small ones must reach the display exactly once, and nothing may leave the scale.
TEST(PeakMeterModel, LargestDeliveryUnderContentionIsNeverLost) {
    for (int round = 0; round < 20; ++round) {
        PeakMeterModel meter;
        useMainWindowLayout(meter);
        tickUntilSilent(meter);
        std::atomic<bool> stop{false};
        std::atomic<int> ticksAfterSpike{-1};
        std::vector<std::thread> senders;
        for (int s = 0; s < 4; ++s) {
            senders.emplace_back([&, s] {
                int n = 0;
                while (!stop.load()) {
                    const int v = (n++ * 37 + s) % 1000;
                    deliver(meter, v, v);
                    if (s == 0 && n == 2000) {
                        deliver(meter, 30000, 30000);
                        ticksAfterSpike = 0;
                    }
                }
            });
        }
        int largestSeen = 0;
        bool outOfScale = false;
        while (ticksAfterSpike.load() < 3) {
            meter.Tick();
            if (ticksAfterSpike.load() >= 0) ++ticksAfterSpike;
            for (const BandState& band : meter.Bands()) {
                largestSeen = std::max(largestSeen, band.level);
                outOfScale |= band.level < 0 || band.level > 30000 || band.peak > 30000;
            }
            std::this_thread::yield();
        }
        stop = true;
        for (auto& t : senders) t.join();
        EXPECT_EQ(largestSeen, 30000) << "round " << round;
        EXPECT_FALSE(outOfScale) << "round " << round;
    }
}

}  // namespace
}  // namespace quavelink
