#include "client/jitter_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace quavelink {
namespace {

// Frames whose left sample counts up from `first`, so that order and loss show.
std::vector<std::int16_t> counting(std::size_t frames, int first) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<std::int16_t>(first + static_cast<int>(i));
        samples[2 * i + 1] = 0;
    }
    return samples;
}

TEST(JitterBuffer, WaitsForTheTargetThenPlaysInOrder) {
    JitterBuffer buffer(20);  // 960 frames at 48000 Hz
    std::vector<std::int16_t> out(480 * 2);
    auto first = counting(480, 1);
    buffer.push(first.data(), 480, 48000);
    EXPECT_EQ(buffer.pull(out.data(), 480), 0u);
    EXPECT_EQ(out[0], 0);  // silence while filling
    auto second = counting(480, 481);
    buffer.push(second.data(), 480, 48000);
    EXPECT_EQ(buffer.pull(out.data(), 480), 480u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2 * 479], 480);
    EXPECT_EQ(buffer.pull(out.data(), 480), 480u);
    EXPECT_EQ(out[0], 481);
    EXPECT_EQ(buffer.counters().underruns, 0u);
}

TEST(JitterBuffer, RunningDryCountsAnUnderrunAndRefillsToTheTarget) {
    JitterBuffer buffer(10);  // 480 frames
    std::vector<std::int16_t> out(480 * 2);
    auto audio = counting(600, 1);
    buffer.push(audio.data(), 600, 48000);
    EXPECT_EQ(buffer.pull(out.data(), 480), 480u);
    // 120 frames left: they are played, the rest of the request is silence.
    EXPECT_EQ(buffer.pull(out.data(), 480), 120u);
    EXPECT_EQ(out[2 * 119], 600);
    EXPECT_EQ(out[2 * 120], 0);
    EXPECT_EQ(buffer.counters().underruns, 1u);
    // Below the target again: nothing until it is reached.
    auto more = counting(240, 601);
    buffer.push(more.data(), 240, 48000);
    EXPECT_EQ(buffer.pull(out.data(), 240), 0u);
    buffer.push(more.data(), 240, 48000);
    EXPECT_EQ(buffer.pull(out.data(), 240), 240u);
    EXPECT_EQ(buffer.counters().underruns, 1u);
}

TEST(JitterBuffer, AQueueFarPastTheTargetIsCutBackToItsNewestAudio) {
    JitterBuffer buffer(20, 60);  // target 960 frames, ceiling 2880
    auto audio = counting(2880, 1);
    buffer.push(audio.data(), 2880, 48000);
    EXPECT_EQ(buffer.counters().droppedFrames, 0u);
    auto one = counting(1, 2881);
    buffer.push(one.data(), 1, 48000);
    auto counters = buffer.counters();
    EXPECT_EQ(counters.queuedFrames, 960u);
    EXPECT_EQ(counters.droppedFrames, 2881u - 960u);
    std::vector<std::int16_t> out(2);
    buffer.pull(out.data(), 1);
    EXPECT_EQ(out[0], 2881 - 960 + 1);  // the oldest went, the newest stayed
}

// Pulls 5 ms at a time for `seconds`, pushing 5 ms before each pull so the level holds still;
// the frames count on from `next`. Returns the left sample of the last frame pulled.
int playSteadily(JitterBuffer& buffer, int seconds, int& next) {
    std::vector<std::int16_t> out(240 * 2);
    for (int i = 0; i < seconds * 200; ++i) {
        auto block = counting(240, next);
        next += 240;
        buffer.push(block.data(), 240, 48000);
        EXPECT_EQ(buffer.pull(out.data(), 240), 240u);
    }
    return out[2 * 239];
}

TEST(JitterBuffer, AQueueThatStaysHighForASecondIsCutToHalfTheTarget) {
    JitterBuffer buffer(20);           // 960 frames; the ceiling (60 ms) is never reached here
    auto backlog = counting(2000, 1);  // piled up before playback began
    buffer.push(backlog.data(), 2000, 48000);
    int next = 2001;
    playSteadily(buffer, 1, next);
    auto counters = buffer.counters();
    // Its lowest level in that second, 2000 frames, came down to 480.
    EXPECT_EQ(counters.droppedFrames, 2000u - 480u);
    EXPECT_EQ(counters.queuedFrames, 480u);
    std::vector<std::int16_t> out(2);
    buffer.pull(out.data(), 1);
    EXPECT_EQ(out[0], static_cast<std::int16_t>(next - 480));  // the newest audio stayed
    EXPECT_EQ(buffer.counters().underruns, 0u);
}

TEST(JitterBuffer, AQueueWithin5MsOfHalfTheTargetKeepsAllItsAudio) {
    JitterBuffer buffer(20);
    auto start = counting(720, 1);
    buffer.push(start.data(), 720, 48000);
    int next = 721;
    // Each pull leaves 720 frames: half the target and 5 ms.
    playSteadily(buffer, 3, next);
    EXPECT_EQ(buffer.counters().droppedFrames, 0u);
    EXPECT_EQ(buffer.counters().queuedFrames, 720u);
    // One frame more for a whole second is one frame too many.
    auto extra = counting(1, next++);
    buffer.push(extra.data(), 1, 48000);
    playSteadily(buffer, 1, next);
    EXPECT_EQ(buffer.counters().droppedFrames, 721u - 480u);
    EXPECT_EQ(buffer.counters().underruns, 0u);
}

TEST(JitterBuffer, AudioAtAnotherRateReplacesWhatIsQueued) {
    JitterBuffer buffer(0);
    auto old = counting(100, 1);
    buffer.push(old.data(), 100, 48000);
    auto fresh = counting(50, 1000);
    buffer.push(fresh.data(), 50, 44100);
    auto counters = buffer.counters();
    EXPECT_EQ(counters.sampleRate, 44100);
    EXPECT_EQ(counters.queuedFrames, 50u);
    std::vector<std::int16_t> out(2);
    buffer.pull(out.data(), 1);
    EXPECT_EQ(out[0], 1000);
}

}  // namespace
}  // namespace quavelink
