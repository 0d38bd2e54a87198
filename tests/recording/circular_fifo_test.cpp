#include "recording/circular_fifo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace quavelink {
namespace {

FifoEntry entryHolding(std::uint32_t value) {
    FifoEntry entry;
    entry.data = std::make_unique<std::uint8_t[]>(sizeof value);
    std::memcpy(entry.data.get(), &value, sizeof value);
    entry.length = sizeof value;
    return entry;
}

std::uint32_t valueIn(const FifoEntry& entry) {
    std::uint32_t value;
    std::memcpy(&value, entry.data.get(), sizeof value);
    return value;
}

TEST(CircularFifo, Holds5000EntriesAndRefusesThe5001stUntilOneIsTaken) {
    auto queue = std::make_unique<CircularFifo<FifoEntry, 5000>>();
    EXPECT_TRUE(queue->isEmpty());
    for (std::uint32_t i = 0; i < 5000; ++i) {
        FifoEntry entry = entryHolding(i);
        ASSERT_TRUE(queue->push(entry)) << "entry " << i;
        EXPECT_EQ(entry.data, nullptr);
    }
    FifoEntry extra = entryHolding(5000);
    EXPECT_FALSE(queue->push(extra));
    ASSERT_NE(extra.data, nullptr) << "a refused entry stays with the caller";
    EXPECT_EQ(valueIn(extra), 5000u);

    FifoEntry oldest;
    ASSERT_TRUE(queue->pop(oldest));
    EXPECT_EQ(valueIn(oldest), 0u);
    EXPECT_TRUE(queue->push(extra));
    FifoEntry refused = entryHolding(5001);
    EXPECT_FALSE(queue->push(refused));

    for (std::uint32_t expected = 1; expected <= 5000; ++expected) {
        FifoEntry entry;
        ASSERT_TRUE(queue->pop(entry));
        EXPECT_EQ(valueIn(entry), expected);
    }
    FifoEntry none;
    EXPECT_FALSE(queue->pop(none));
    EXPECT_TRUE(queue->isEmpty());
}

TEST(CircularFifo, KeepsOrderWhileItsIndicesWrapManyTimes) {
    CircularFifo<int, 3> queue;
    int next = 0;
    int expected = 0;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 1 + round % 3; ++i) {
            int value = next++;
            ASSERT_TRUE(queue.push(value));
        }
        int taken;
        while (queue.pop(taken)) EXPECT_EQ(taken, expected++);
    }
    EXPECT_EQ(expected, next);
}

TEST(CircularFifo, HandsEveryEntryFromProducerThreadToConsumerThreadInOrder) {
    constexpr std::uint32_t kEntries = 200000;
    auto queue = std::make_unique<CircularFifo<FifoEntry, 64>>();
    std::thread producer([&] {
        for (std::uint32_t i = 0; i < kEntries; ++i) {
            FifoEntry entry = entryHolding(i);
            while (!queue->push(entry)) std::this_thread::yield();
        }
    });
    std::uint32_t expected = 0;
    std::uint32_t outOfPlace = 0;
    while (expected < kEntries) {
        FifoEntry entry;
        if (!queue->pop(entry)) {
            std::this_thread::yield();
            continue;
        }
        if (entry.data == nullptr || valueIn(entry) != expected) ++outOfPlace;
        ++expected;
    }
    producer.join();
    EXPECT_EQ(outOfPlace, 0u);
    EXPECT_TRUE(queue->isEmpty());
}

}  // namespace
}  // namespace quavelink
