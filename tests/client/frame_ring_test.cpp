#include "client/playout/frame_ring.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quavelink {
namespace {

std::vector<std::int16_t> counting(std::size_t frames, int first) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<std::int16_t>(first + static_cast<int>(i));
        samples[2 * i + 1] = static_cast<std::int16_t>(-(first + static_cast<int>(i)));
    }
    return samples;
}

// Reads `frames` frames (at most), slot by slot, appending the left samples to `into`.
std::size_t read(FrameRing& ring, std::size_t frames, std::vector<int>& into, int& rate) {
    std::size_t got = 0;
    const std::int16_t* p = nullptr;
    std::size_t n = 0;
    while (got < frames && ring.front(p, n, rate)) {
        std::size_t take = std::min(n, frames - got);
        for (std::size_t i = 0; i < take; ++i) into.push_back(p[2 * i]);
        ring.consume(take);
        got += take;
    }
    return got;
}

TEST(FrameRing, KeepsOrderAcrossSlotsAndPartialReadsAndMarksWhereTheRateChanges) {
    FrameRing ring(8, 100);
    auto a = counting(250, 1);  // three slots
    auto b = counting(50, 251);
    ASSERT_TRUE(ring.push(a.data(), 250, 48000, 10));
    ASSERT_TRUE(ring.push(b.data(), 50, 44100, 20));
    EXPECT_EQ(ring.queuedFrames(), 300u);
    std::vector<int> got;
    int rate = 0;
    EXPECT_EQ(read(ring, 30, got, rate), 30u);
    EXPECT_EQ(ring.queuedFrames(), 270u);
    EXPECT_EQ(read(ring, 220, got, rate), 220u);
    EXPECT_EQ(rate, 48000);
    const std::int16_t* p = nullptr;
    std::size_t n = 0;
    ASSERT_TRUE(ring.front(p, n, rate));
    EXPECT_EQ(rate, 44100);  // the new rate starts exactly after the old audio
    EXPECT_EQ(read(ring, 100, got, rate), 50u);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], i + 1);
    EXPECT_EQ(ring.queuedFrames(), 0u);
}

TEST(FrameRing, APushThatDoesNotFitWholeIsRefusedWhole) {
    FrameRing ring(4, 100);
    auto a = counting(300, 1);
    ASSERT_TRUE(ring.push(a.data(), 300, 48000, 0));
    auto b = counting(150, 301);
    EXPECT_FALSE(ring.push(b.data(), 150, 48000, 0));  // needs two slots, one is free
    EXPECT_EQ(ring.queuedFrames(), 300u);
    EXPECT_TRUE(ring.push(b.data(), 100, 48000, 0));
}

TEST(FrameRing, EachPushIsNotedOnceWithItsTimeWhetherReadOrNot) {
    FrameRing ring(8, 100);
    auto a = counting(250, 1);
    ring.push(a.data(), 250, 48000, 1000);
    ring.push(a.data(), 40, 48000, 2000);
    std::vector<FrameRing::Arrival> seen;
    auto note = [&](const FrameRing::Arrival& arrival) { seen.push_back(arrival); };
    ring.takeArrivals(note);
    ring.takeArrivals(note);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].arrivalUs, 1000);
    EXPECT_EQ(seen[0].frames, 250u);
    EXPECT_EQ(seen[1].frames, 40u);
    ring.push(a.data(), 10, 48000, 3000);
    ring.takeArrivals(note);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].arrivalUs, 3000);
}

TEST(FrameRing, ADiscardDropsOnlyWhatWasPushedBeforeIt) {
    FrameRing ring(8, 100);
    auto a = counting(150, 1);
    ring.push(a.data(), 150, 48000, 0);
    std::vector<int> got;
    int rate = 0;
    read(ring, 20, got, rate);
    ring.discardPushed();
    auto b = counting(30, 1000);
    ring.push(b.data(), 30, 48000, 0);
    std::uint64_t dropped = 0;
    EXPECT_TRUE(ring.discardRequested(dropped));
    EXPECT_EQ(dropped, 130u);
    EXPECT_FALSE(ring.discardRequested(dropped));
    got.clear();
    EXPECT_EQ(read(ring, 100, got, rate), 30u);
    EXPECT_EQ(got.front(), 1000);
    EXPECT_EQ(ring.queuedFrames(), 0u);
}

// The network thread pushes blocks of counting frames while the playback thread reads them in
// other sizes: every frame comes out once, in order, with its right channel intact.
TEST(FrameRing, TwoThreadsPassEveryFrameInOrder) {
    FrameRing ring(16, 64);
    constexpr int kFrames = 200000;
    std::thread producer([&] {
        int next = 0;
        while (next < kFrames) {
            std::size_t n = std::min(1 + next % 150, kFrames - next);
            auto block = counting(n, next);
            while (!ring.push(block.data(), n, 48000, 0)) std::this_thread::yield();
            next += static_cast<int>(n);
        }
    });
    int expected = 0;
    bool intact = true;
    while (expected < kFrames && intact) {
        const std::int16_t* p = nullptr;
        std::size_t n = 0;
        int rate = 0;
        if (!ring.front(p, n, rate)) {
            std::this_thread::yield();
            continue;
        }
        std::size_t take = std::min<std::size_t>(n, 37);
        for (std::size_t i = 0; i < take; ++i, ++expected) {
            intact = intact && p[2 * i] == static_cast<std::int16_t>(expected) &&
                     p[2 * i + 1] == static_cast<std::int16_t>(-expected);
        }
        ring.consume(take);
    }
    producer.join();
    EXPECT_TRUE(intact);
    EXPECT_EQ(expected, kFrames);
    EXPECT_EQ(ring.queuedFrames(), 0u);
}

}  // namespace
}  // namespace quavelink
