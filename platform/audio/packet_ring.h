#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quavelink::audio {

//! A lock-free single-producer, single-consumer ring of packets of whole frames: the sound
//! server's thread writes, the capture thread reads in place. All memory is taken at
//! construction.
class PacketRing {
  public:
    //! `slots` packets of at most `slotFrames` frames of `frameBytes` bytes each.
    PacketRing(std::uint32_t slots, std::uint32_t slotFrames, std::uint32_t frameBytes)
        : slotCount(slots),
          slotFrames(slotFrames),
          frameBytes(frameBytes),
          headers(slots),
          data(static_cast<std::size_t>(slots) * slotFrames * frameBytes) {}

    //! Producer: appends `bytes` bytes (`data` null: that many bytes of silence), cut into
    //! packets. What does not fit is dropped, and the next packet is marked discontinuous.
    void write(const void* source, std::size_t bytes, std::uint32_t silentFlag,
               std::uint32_t discontinuityFlag) {
        std::size_t frames = bytes / frameBytes;
        const auto* in = static_cast<const std::uint8_t*>(source);
        while (frames > 0) {
            std::uint32_t head = writeIndex.load(std::memory_order_relaxed);
            if (head - readIndex.load(std::memory_order_acquire) == slotCount) {
                overrun = true;
                return;
            }
            std::uint32_t count =
                frames < slotFrames ? static_cast<std::uint32_t>(frames) : slotFrames;
            Header& header = headers[head % slotCount];
            header.frames = count;
            header.flags = overrun ? discontinuityFlag : 0;
            overrun = false;
            if (in) {
                std::memcpy(slot(head), in, static_cast<std::size_t>(count) * frameBytes);
                in += static_cast<std::size_t>(count) * frameBytes;
            } else {
                header.flags |= silentFlag;
            }
            frames -= count;
            writeIndex.store(head + 1, std::memory_order_release);
        }
    }

    //! Consumer: the oldest packet, or false when none is waiting.
    bool peek(const std::uint8_t*& packet, std::uint32_t& frames, std::uint32_t& flags) const {
        std::uint32_t tail = readIndex.load(std::memory_order_relaxed);
        if (tail == writeIndex.load(std::memory_order_acquire)) return false;
        const Header& header = headers[tail % slotCount];
        packet = slot(tail);
        frames = header.frames;
        flags = header.flags;
        return true;
    }

    //! Consumer: gives the oldest packet back.
    void pop() {
        readIndex.store(readIndex.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    //! Consumer: drops every waiting packet.
    void clear() {
        readIndex.store(writeIndex.load(std::memory_order_acquire), std::memory_order_release);
    }

  private:
    struct Header {
        std::uint32_t frames = 0;
        std::uint32_t flags = 0;
    };

    std::uint8_t* slot(std::uint32_t index) const {
        return const_cast<std::uint8_t*>(data.data()) +
               static_cast<std::size_t>(index % slotCount) * slotFrames * frameBytes;
    }

    const std::uint32_t slotCount, slotFrames, frameBytes;
    std::vector<Header> headers;
    std::vector<std::uint8_t> data;
    std::atomic<std::uint32_t> writeIndex{0};
    std::atomic<std::uint32_t> readIndex{0};
    bool overrun = false;  // producer only
};

}  // namespace quavelink::audio
