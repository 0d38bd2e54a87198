#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace quavelink {

//! One queued block: PCM copied from one plain audio block (interleaved stereo, 16-bit signed
//! little-endian), owned by whoever holds the entry.
struct FifoEntry {
    std::unique_ptr<std::uint8_t[]> data;
    std::int32_t length = 0;      //!< bytes in `data`; 1352 for a full plain block
    std::int32_t sampleRate = 0;  //!< the capture's rate; 0: the recording's own
};

//! Lock-free ring for exactly one producer thread and one consumer at a time, holding at most
//! `Capacity` elements (one slot always stays free to tell full from empty). Consumers that
//! take turns must hand over through a lock, which orders their accesses.
template <typename Element, std::uint32_t Capacity>
class CircularFifo {
  public:
    static constexpr std::uint32_t kSlots = Capacity + 1;

    virtual ~CircularFifo() = default;

    //! Producer. Moves from `item` and returns true, or returns false and leaves `item` alone
    //! when the ring is full. Never blocks.
    bool push(Element& item) {
        std::uint32_t write = writeIndex.load(std::memory_order_relaxed);
        std::uint32_t next = advance(write);
        if (next == readIndex.load(std::memory_order_acquire)) return false;
        slots[write] = std::move(item);
        writeIndex.store(next, std::memory_order_release);
        return true;
    }

    //! Consumer. Moves the oldest element into `item` and returns true, or returns false when
    //! the ring is empty. Never blocks.
    bool pop(Element& item) {
        std::uint32_t read = readIndex.load(std::memory_order_relaxed);
        if (read == writeIndex.load(std::memory_order_acquire)) return false;
        item = std::move(slots[read]);
        readIndex.store(advance(read), std::memory_order_release);
        return true;
    }

    //! Consumer.
    bool isEmpty() const {
        return readIndex.load(std::memory_order_relaxed) ==
               writeIndex.load(std::memory_order_acquire);
    }

  private:
    static constexpr std::uint32_t advance(std::uint32_t index) { return (index + 1) % kSlots; }

    // Each index on its own cache line, so the two sides do not slow each other down.
    alignas(64) std::atomic<std::uint32_t> writeIndex{0};
    alignas(64) std::array<Element, kSlots> slots{};
    alignas(64) std::atomic<std::uint32_t> readIndex{0};
};

}  // namespace quavelink
