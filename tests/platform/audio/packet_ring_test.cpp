#include "platform/audio/packet_ring.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quavelink::audio {
namespace {

TEST(PacketRing, LongWritesAreCutIntoPackets) {
    PacketRing ring(8, 4, 8);
    std::vector<std::uint8_t> data(10 * 8);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    ring.write(data.data(), data.size(), 2, 1);
    const std::uint8_t* packet;
    std::uint32_t frames, flags;
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint8_t> out;
    while (ring.peek(packet, frames, flags)) {
        sizes.push_back(frames);
        out.insert(out.end(), packet, packet + frames * 8);
        ring.pop();
    }
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{4, 4, 2}));
    EXPECT_EQ(out, data);
}

TEST(PacketRing, HoleBecomesSilentPacket) {
    PacketRing ring(4, 100, 8);
    ring.write(nullptr, 80, 2, 1);
    const std::uint8_t* packet;
    std::uint32_t frames, flags;
    ASSERT_TRUE(ring.peek(packet, frames, flags));
    EXPECT_EQ(frames, 10u);
    EXPECT_EQ(flags, 2u);
}

TEST(PacketRing, OverrunDropsAndMarksTheNextPacket) {
    PacketRing ring(2, 1, 8);
    std::uint8_t frame[8] = {};
    ring.write(frame, 8, 2, 1);
    ring.write(frame, 8, 2, 1);
    ring.write(frame, 8, 2, 1);  // dropped
    const std::uint8_t* packet;
    std::uint32_t frames, flags;
    ring.pop();
    ring.pop();
    EXPECT_FALSE(ring.peek(packet, frames, flags));
    ring.write(frame, 8, 2, 1);
    ASSERT_TRUE(ring.peek(packet, frames, flags));
    EXPECT_EQ(flags, 1u);
}

TEST(PacketRing, ProducerAndConsumerThreadsAgree) {
    // Room for every packet: nothing is dropped, whatever the threads' pace.
    PacketRing ring(4096, 3, 4);
    constexpr std::uint32_t kFrames = 3 * 4000;
    std::thread producer([&] {
        std::uint32_t next = 0;
        while (next < kFrames) {
            std::uint32_t value[3] = {next, next + 1, next + 2};
            std::uint32_t count = std::min<std::uint32_t>(3, kFrames - next);
            ring.write(value, count * 4, 2, 1);
            next += count;
        }
    });
    std::uint32_t expected = 0;
    bool ordered = true;
    while (expected < kFrames) {
        const std::uint8_t* packet;
        std::uint32_t frames, flags;
        if (!ring.peek(packet, frames, flags)) {
            std::this_thread::yield();
            continue;
        }
        EXPECT_EQ(flags, 0u);
        for (std::uint32_t i = 0; i < frames; ++i) {
            std::uint32_t value;
            std::memcpy(&value, packet + i * 4, 4);
            ordered = ordered && value == expected;
            ++expected;
        }
        ring.pop();
    }
    producer.join();
    EXPECT_TRUE(ordered);
}

}  // namespace
}  // namespace quavelink::audio
