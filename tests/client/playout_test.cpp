// The playout on simulated time: a server whose blocks complete on its own clock and leave at
// its 5 ms capture steps, a link with a delay that may vary (first in, first out), and an
// output on the client's clock: either one that takes 5 ms at a time and cannot say what it
// holds, or one that holds what it is handed and plays it away at the card's pace (as the
// sound server's buffer does), pulling at each arrival and every 2.5 ms. No sleeps: events run
// in time order.
#include "client/playout/playout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "server/wire_format.h"

namespace quavelink {
namespace {

constexpr int kRate = 48000;
constexpr std::size_t kPullFrames = 240;
constexpr std::int64_t kRequestUs = 2500;
constexpr std::int64_t kLeastUs = 6000;

struct Link {
    double serverPpm = 0;  //!< the server's clock runs this much faster than the client's
    double delayMs = 1;
    double jitterMs = 0.5;  //!< delay drawn evenly from delayMs ± jitterMs
};

class Simulation {
  public:
    explicit Simulation(const PlayoutSettings& settings = PlayoutSettings{}, bool holding = false,
                        std::uint32_t seed = 7)
        : playout(settings),
          holding(holding),
          random(seed),
          block(kPlainBlockFrames * 2),
          out(kRate / 4 * 2) {}

    //! Runs until `untilS` seconds of client time; `each(timeS)` after every pull.
    template <typename Each>
    void run(double untilS, const Link& link, Each&& each) {
        const auto untilUs = static_cast<std::int64_t>(untilS * 1e6);
        while (true) {
            if (nextArrivalUs < 0) scheduleArrival(link);
            std::int64_t pullUs =
                holding ? pulls * kRequestUs
                        : static_cast<std::int64_t>(pulls * kPullFrames * 1000000 / kRate);
            if (std::min(pullUs, nextArrivalUs) >= untilUs) return;
            if (nextArrivalUs <= pullUs) {
                for (std::size_t i = 0; i < kPlainBlockFrames; ++i, ++sentFrames) {
                    block[2 * i] = block[2 * i + 1] = static_cast<std::int16_t>(sentFrames);
                }
                playout.push(block.data(), kPlainBlockFrames, kRate, nextArrivalUs);
                if (holding) pullAt(nextArrivalUs);
                nextArrivalUs = -1;
            } else {
                pullAt(pullUs);
                ++pulls;
                each(static_cast<double>(pullUs) / 1e6);
            }
        }
    }

    //! The holding output's thread wakes no sooner than `untilS` (it takes nothing meanwhile).
    void stallOutputUntil(double untilS) {
        stalledUntilUs = static_cast<std::int64_t>(untilS * 1e6);
    }

    Playout playout;
    std::uint64_t outputRanDry = 0;

  private:
    void pullAt(std::int64_t nowUs) {
        if (!holding) {
            playout.pull(out.data(), kPullFrames, PlayoutFeed::Hold{}, nowUs);
            return;
        }
        if (nowUs < stalledUntilUs) return;
        heldUs -= nowUs - playedToUs;
        playedToUs = nowUs;
        if (heldUs < 0) {
            heldUs = 0;
            ++outputRanDry;
            playout.outputRanDry(nowUs);
        }
        std::size_t given = playout.pull(out.data(), out.size() / 2, {heldUs, kLeastUs}, nowUs);
        heldUs += static_cast<std::int64_t>(given) * 1000000 / kRate;
    }

    void scheduleArrival(const Link& link) {
        // The block completes on the server's clock, leaves at its next capture step and
        // crosses the link behind the block before it.
        ++blocks;
        double completeS = static_cast<double>(blocks * kPlainBlockFrames) / kRate;
        double sentS = std::ceil(completeS / 0.005 - 1e-9) * 0.005;
        double sentClientS = sentS / (1 + link.serverPpm * 1e-6);
        double delayMs =
            link.delayMs + (link.jitterMs > 0 ? std::uniform_real_distribution<double>(
                                                    -link.jitterMs, link.jitterMs)(random)
                                              : 0.0);
        auto arrival = static_cast<std::int64_t>((sentClientS + delayMs / 1000) * 1e6);
        nextArrivalUs = std::max(arrival, lastArrivalUs);
        lastArrivalUs = nextArrivalUs;
    }

    bool holding;
    std::mt19937 random;
    std::vector<std::int16_t> block, out;
    std::uint64_t blocks = 0, pulls = 0;
    std::int64_t nextArrivalUs = -1, lastArrivalUs = 0;
    std::int64_t heldUs = 0, playedToUs = 0, stalledUntilUs = 0;
    int sentFrames = 0;
};

// What a stretch of a run looked like.
struct Watch {
    double from = 0;  // seconds; pulls before are not judged
    double mostOff = 0, highestTarget = 0, lowestTarget = 1e9;
    double levelSum = 0, targetSum = 0;
    int samples = 0;
    std::uint64_t underrunsAtStart = 0, underruns = 0;
    bool started = false;

    void see(double timeS, const Playout::Figures& f) {
        if (timeS < from) return;
        if (!started) {
            started = true;
            underrunsAtStart = f.underruns;
        }
        underruns = f.underruns - underrunsAtStart;
        mostOff = std::max(mostOff, std::abs(f.levelMs - f.targetMs));
        highestTarget = std::max(highestTarget, f.targetMs);
        lowestTarget = std::min(lowestTarget, f.targetMs);
        levelSum += f.levelMs;
        targetSum += f.targetMs;
        ++samples;
    }
    double meanLevel() const { return levelSum / samples; }
};

TEST(Playout, OnAQuietLinkTheTargetCoversTheCaptureStepsAndNothingRunsDry) {
    Simulation sim;
    Watch watch{10};
    sim.run(60, Link{}, [&](double t) { watch.see(t, sim.playout.figures()); });
    auto f = sim.playout.figures();
    std::printf("target %.1f..%.1f ms, jitter %.1f ms, level off by at most %.2f ms\n",
                watch.lowestTarget, watch.highestTarget, f.jitterMs, watch.mostOff);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.droppedFrames, 0u);
    // The server's 5 ms capture steps make the latest arrivals up to about 2.5 ms later than
    // the average one.
    EXPECT_GE(f.jitterMs, 1.5);
    EXPECT_LE(f.jitterMs, 4);
    EXPECT_LE(watch.highestTarget, 14);
    EXPECT_LE(watch.mostOff, 2);
}

// A few hundred ppm between two machines' clocks: the level holds, the correction settles on
// the difference, nothing is dropped and nothing runs dry.
class PlayoutDrift : public ::testing::TestWithParam<double> {};

TEST_P(PlayoutDrift, HoldsTheLevelWithinTwoMsOfTheTarget) {
    const double ppm = GetParam();
    Simulation sim;
    Watch watch{10};
    sim.run(90, Link{ppm}, [&](double t) { watch.see(t, sim.playout.figures()); });
    auto f = sim.playout.figures();
    std::printf(
        "%+.0f ppm: correction %+.0f ppm (drift learnt %+.0f), level off by at most "
        "%.2f ms, target %.1f..%.1f ms\n",
        ppm, f.correctionPpm, f.driftPpm, watch.mostOff, watch.lowestTarget, watch.highestTarget);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(f.droppedFrames, 0u);
    EXPECT_LE(watch.mostOff, 2);
    EXPECT_NEAR(f.driftPpm, ppm, 60);
}

INSTANTIATE_TEST_SUITE_P(ServerClock, PlayoutDrift, ::testing::Values(500.0, -500.0));

// 20 ± 10 ms of delay: the target rises at once to cover it and holds, so that after the first
// seconds nothing runs dry. Once the link is quiet again the margin is kept for minutes (a link
// that went bad once goes bad again), then given back slowly.
TEST(Playout, AJitteryLinkRaisesTheTargetAtOnceAndItIsRememberedForMinutes) {
    Simulation sim;
    Watch settled{5}, kept{60}, late{420};
    Link jittery{0, 20, 10};
    std::uint64_t droppedAtStart = 0;
    sim.run(60, jittery, [&](double t) {
        if (t < 5) droppedAtStart = sim.playout.figures().droppedFrames;
        settled.see(t, sim.playout.figures());
    });
    std::printf("jittery: %llu underruns after the first 5 s; target %.1f..%.1f ms\n",
                static_cast<unsigned long long>(settled.underruns), settled.lowestTarget,
                settled.highestTarget);
    EXPECT_EQ(settled.underruns, 0u);
    EXPECT_GE(settled.lowestTarget, 12);  // the delay varies by 20 ms

    double downAt = -1;
    const double quietTarget = 15;
    sim.run(480, Link{}, [&](double t) {
        auto f = sim.playout.figures();
        if (t < 210) kept.see(t, f);
        late.see(t, f);
        if (downAt < 0 && f.targetMs <= quietTarget && f.levelMs <= quietTarget + 2) downAt = t;
    });
    std::printf("quiet again: target at least %.1f ms for 150 s, down to %.0f ms after %.0f s\n",
                kept.lowestTarget, quietTarget, downAt - 60);
    EXPECT_EQ(kept.underruns + late.underruns, 0u);
    EXPECT_GE(kept.lowestTarget, settled.lowestTarget);
    ASSERT_GE(downAt, 60);
    EXPECT_LE(late.highestTarget, quietTarget);
    // Only what piled up before playback first started may have gone.
    EXPECT_EQ(sim.playout.figures().droppedFrames, droppedAtStart);
}

// A Wi-Fi adapter's background scan every minute and a half: the link stalls for 60 ms, then
// hands over what waited. The first stall may cost a gap; the margin that covered it is still
// there when the next one comes.
TEST(Playout, AStallEveryMinuteAndAHalfCostsAtMostTheFirstGap) {
    Simulation sim;
    sim.run(30, Link{}, [](double) {});
    const std::uint64_t before = sim.playout.figures().underruns;
    for (int scan = 0; scan < 5; ++scan) {
        double at = 30 + 90 * scan;
        sim.run(at + 0.01, Link{0, 61, 0}, [](double) {});
        sim.run(at + 90, Link{}, [](double) {});
    }
    auto f = sim.playout.figures();
    std::printf("five stalls of 60 ms: %llu gaps, target %.1f ms at the end\n",
                static_cast<unsigned long long>(f.underruns - before), f.targetMs);
    EXPECT_LE(f.underruns - before, 1u);
    EXPECT_EQ(f.droppedFrames, 0u);
}

// A fixed target holds whatever the link does, and the drift is still absorbed.
TEST(Playout, AFixedTargetStaysFixedAndStillFollowsTheServersClock) {
    PlayoutSettings fixed;
    fixed.adaptive = false;
    fixed.fixedTargetMs = 25;
    Simulation sim(fixed);
    Watch watch{15};
    sim.run(90, Link{-400, 2, 1}, [&](double t) { watch.see(t, sim.playout.figures()); });
    // The network's 25 ms on top of half the 5 ms the output takes at a time and the
    // resampler's filter (40 frames).
    EXPECT_DOUBLE_EQ(watch.lowestTarget, watch.highestTarget);
    EXPECT_NEAR(watch.lowestTarget, 25 + 2.5 + 40.0 / 48, 0.01);
    EXPECT_LE(watch.mostOff, 2);
    EXPECT_EQ(watch.underruns, 0u);
}

// A stall: nothing arrives for a while, then everything at once. A stall shorter than the
// queue's level is played out by playing faster, dropping nothing; so is what comes late
// behind a gap once playback has resumed. What piles up while the queue is dry (a long stall)
// is heard as a gap anyway: beyond the start level it is cut, so that the level is back at
// its target at once instead of playing late for many seconds.
TEST(Playout, AShortStallsBurstIsPlayedOutALongOnesPileUpIsCut) {
    Simulation sim;
    sim.run(10, Link{}, [](double) {});
    const double level = sim.playout.figures().levelMs;
    sim.run(10.02, Link{0, level / 2, 0}, [](double) {});
    Watch after{12};
    sim.run(30, Link{}, [&](double t) { after.see(t, sim.playout.figures()); });
    EXPECT_EQ(sim.playout.figures().underruns, 0u);
    EXPECT_LE(after.mostOff, 2);

    sim.run(30.02, Link{0, 25, 0}, [](double) {});
    Watch resumed{30.5}, settled{50};
    sim.run(60, Link{}, [&](double t) {
        resumed.see(t, sim.playout.figures());
        settled.see(t, sim.playout.figures());
    });
    EXPECT_EQ(sim.playout.figures().underruns, 1u);
    EXPECT_EQ(sim.playout.figures().droppedFrames, 0u);
    EXPECT_EQ(resumed.underruns, 0u);
    EXPECT_LE(settled.mostOff, 2);

    sim.run(61, Link{0, 1000, 0}, [](double) {});
    Watch cut{61.5};
    sim.run(65, Link{}, [&](double t) { cut.see(t, sim.playout.figures()); });
    EXPECT_GT(sim.playout.figures().droppedFrames, 0u);
    EXPECT_EQ(cut.underruns, 0u);
    // Within a block: the next one came a ms after the pile.
    EXPECT_LE(cut.mostOff, 8);
}

// A link whose delay falls, as a Wi-Fi link's does when a download beside the stream ends,
// hands over at once all that was on its way: no stale backlog but the same stream, a little
// earlier. It is played out faster, not cut: a cut is a skip the listener hears.
TEST(Playout, WhatALinkHandsOverAsItsDelayFallsIsPlayedOutNotCut) {
    Simulation sim;
    sim.run(10, Link{0, 41, 0}, [](double) {});
    const std::uint64_t droppedAtStart = sim.playout.figures().droppedFrames;
    Watch handedOver{10}, settled{45};
    sim.run(60, Link{}, [&](double t) {
        handedOver.see(t, sim.playout.figures());
        settled.see(t, sim.playout.figures());
    });
    std::printf("40 ms handed over: the level at most %.1f ms off its target, %.1f ms after 35 s\n",
                handedOver.mostOff, settled.mostOff);
    EXPECT_EQ(sim.playout.figures().droppedFrames, droppedAtStart);
    EXPECT_GE(handedOver.mostOff, 35);  // it did arrive at once
    EXPECT_EQ(handedOver.underruns, 0u);
    EXPECT_LE(settled.mostOff, 2);
}

// An output that holds what it is handed gets the audio as it arrives: the queue stays almost
// empty, and the one target covers the output's need and the arrivals' saw tooth together.
// When the output runs dry by itself (its thread woke late), the margin grows and is kept, so
// that the same late wake-up a little later is covered.
TEST(Playout, AnOutputThatHoldsTheQueueRunsDryOnceForALateWakeUpNotTwice) {
    Simulation sim(PlayoutSettings{}, true);
    Watch quiet{15};
    sim.run(60, Link{}, [&](double t) { quiet.see(t, sim.playout.figures()); });
    auto f = sim.playout.figures();
    std::printf("holding output: latency %.1f ms (the output holds %.1f), target %.1f..%.1f ms\n",
                f.levelMs, f.outputMs, quiet.lowestTarget, quiet.highestTarget);
    EXPECT_EQ(f.underruns, 0u);
    EXPECT_EQ(sim.outputRanDry, 0u);
    EXPECT_LE(quiet.mostOff, 2);
    EXPECT_LT(f.levelMs - f.outputMs, 2);  // nearly all of it is in the output
    EXPECT_LE(quiet.highestTarget, 16);

    for (double at : {60.0, 90.0}) {
        sim.stallOutputUntil(at + 0.015);
        sim.run(at + 30, Link{}, [](double) {});
    }
    std::printf("two wake-ups 15 ms late: the output ran dry %llu times, target %.1f ms\n",
                static_cast<unsigned long long>(sim.outputRanDry), sim.playout.figures().targetMs);
    EXPECT_EQ(sim.outputRanDry, 1u);
    EXPECT_EQ(sim.playout.figures().outputUnderruns, 1u);
    EXPECT_GT(sim.playout.figures().targetMs, quiet.highestTarget + 2);
}

// What a stream's settled stretch needed is kept for minutes; what its first seconds needed
// (a capture and a sound server starting up), for seconds. Gaps add a step either way.
TEST(PlayoutTarget, NeedsOfASettledStreamAreKeptForMinutesThoseOfItsStartForSeconds) {
    PlayoutTarget target({2, 100, 1});
    std::int64_t t = 0;
    auto steady = [&](double seconds, double needMs, bool settled) {
        for (int i = 0; i < seconds * 100; ++i) {
            t += 10000;
            target.noteArrival(t, 480, kRate);
            target.noteOutputLeast(5);
            target.noteNeed(needMs, t, settled);
        }
    };
    steady(20, 12, false);
    const double calm = target.targetMs(t);
    steady(0.01, 30, false);
    EXPECT_GT(target.targetMs(t), calm + 15);
    steady(40, 12, false);  // a start-up's peak is gone within a minute
    EXPECT_NEAR(target.targetMs(t), calm, 0.5);

    steady(0.01, 30, true);
    const double raised = target.targetMs(t);
    EXPECT_GT(raised, calm + 15);
    steady(170, 12, true);
    EXPECT_NEAR(target.targetMs(t), raised, 0.5);
    steady(60, 12, true);  // past three minutes it falls, a ms in 10 s
    EXPECT_LT(target.targetMs(t), raised - 4);
    EXPECT_GT(target.targetMs(t), calm + 5);

    const double before = target.targetMs(t);
    target.noteUnderrun(t, true);
    EXPECT_NEAR(target.targetMs(t), before + 3, 0.5);
    steady(0.01, 500, true);
    EXPECT_DOUBLE_EQ(target.targetMs(t), 100);  // bounds hold
}

// Arrivals on time but for the server's 5 ms capture steps: the shown jitter is about the
// 2.5 ms by which the latest come later than the average one; a pause is not lateness.
TEST(PlayoutTarget, ArrivalJitterIsLatenessAgainstTheirOwnTimeline) {
    PlayoutTarget target({2, 100, 1});
    std::int64_t t = 0;
    // Before playback starts: a capture that starts late and then delivers in a burst, which
    // is no lateness of the link.
    for (int i = 0; i < 20; ++i) target.noteArrival(i < 10 ? i * 20000 : 200000, 338, kRate, false);
    for (int i = 1; i <= 1000; ++i) {
        const double completeS = i * 338.0 / kRate;
        t = static_cast<std::int64_t>(std::ceil(completeS / 0.005) * 5000);
        target.noteArrival(t, 338, kRate);
    }
    EXPECT_NEAR(target.arrivalJitterMs(t), 2.5, 1);
    t += 2000000;
    for (int i = 0; i < 100; ++i) target.noteArrival(t += 7042, 338, kRate);
    EXPECT_LT(target.arrivalJitterMs(t), 4);
}

}  // namespace
}  // namespace quavelink
