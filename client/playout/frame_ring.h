#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace quavelink {

//! A lock-free single-producer, single-consumer ring of interleaved stereo 16-bit frames between
//! the network thread (producer) and the playback thread (consumer). Each push is stored in
//! slots that also carry its sample rate and arrival time, so that the consumer sees a change
//! of rate exactly where it happened and can time the arrivals itself. All memory is taken at
//! construction. Indices are published with release stores and read with acquire loads; a
//! slot's contents belong to the producer until its index is published, then to the consumer
//! until it is released again.
class FrameRing {
  public:
    struct Arrival {
        std::int64_t arrivalUs = 0;  //!< when the push came, on the producer's clock
        std::uint32_t frames = 0;    //!< frames of the whole push
        int sampleRate = 0;
    };

    //! `slots` slots of at most `slotFrames` frames each. The indices run on past 2^32 and wrap;
    //! a slot count that does not divide that would put a slot's contents in the wrong place
    //! at the wrap, so anything but a power of two is refused (std::invalid_argument).
    FrameRing(std::uint32_t slots, std::uint32_t slotFrames)
        : slotCount(checkedSlots(slots)),
          slotFrames(slotFrames),
          headers(slots),
          samples(static_cast<std::size_t>(slots) * slotFrames * 2) {}

    //! Producer. Appends `frames` frames at `sampleRate`, or nothing (returning false) when they
    //! do not fit whole.
    bool push(const std::int16_t* source, std::size_t frames, int sampleRate,
              std::int64_t arrivalUs) {
        if (frames == 0) return true;
        std::size_t needed = (frames + slotFrames - 1) / slotFrames;
        std::uint32_t head = writeIndex.load(std::memory_order_relaxed);
        if (head - readIndex.load(std::memory_order_acquire) + needed > slotCount) return false;
        std::size_t left = frames;
        while (left > 0) {
            auto count = static_cast<std::uint32_t>(std::min<std::size_t>(left, slotFrames));
            Header& header = headers[head % slotCount];
            header.frames = count;
            header.sampleRate = sampleRate;
            header.arrivalUs = arrivalUs;
            left -= count;
            // Only the last slot of a push carries its total, so that an arrival counts once.
            header.pushFrames = left == 0 ? static_cast<std::uint32_t>(frames) : 0;
            std::memcpy(slot(head), source, static_cast<std::size_t>(count) * 4);
            source += static_cast<std::size_t>(count) * 2;
            ++head;
        }
        // Counted before it is published, so that the consumer never counts more consumed
        // frames than written ones.
        written.fetch_add(frames, std::memory_order_relaxed);
        writeIndex.store(head, std::memory_order_release);
        return true;
    }

    //! Producer: everything pushed so far is to be thrown away; the consumer does so on its
    //! next call of `discardRequested`.
    void discardPushed() {
        discardUpTo.store(writeIndex.load(std::memory_order_relaxed), std::memory_order_release);
        discardPending.store(true, std::memory_order_release);
    }

    //! Consumer: throws away what the producer asked to, adding the frames to `dropped`; true
    //! when the producer had asked.
    bool discardRequested(std::uint64_t& dropped) {
        if (!discardPending.exchange(false, std::memory_order_acq_rel)) return false;
        std::uint32_t end = discardUpTo.load(std::memory_order_acquire);
        std::size_t frames = 0;
        std::uint32_t tail = readIndex.load(std::memory_order_relaxed);
        // Slots already read past the mark stay: the mark is older than them.
        while (static_cast<std::int32_t>(end - tail) > 0) {
            frames += headers[tail % slotCount].frames - frontOffset;
            frontOffset = 0;
            ++tail;
        }
        release(tail, frames);
        dropped += frames;
        return true;
    }

    //! Consumer: the frames of the oldest slot not yet consumed, and their rate; false when
    //! nothing waits.
    bool front(const std::int16_t*& frames, std::size_t& count, int& sampleRate) const {
        std::uint32_t tail = readIndex.load(std::memory_order_relaxed);
        if (tail == writeIndex.load(std::memory_order_acquire)) return false;
        const Header& header = headers[tail % slotCount];
        frames = slot(tail) + static_cast<std::size_t>(frontOffset) * 2;
        count = header.frames - frontOffset;
        sampleRate = header.sampleRate;
        return true;
    }

    //! Consumer: `frames` (at most what `front` offered) have been used.
    void consume(std::size_t frames) {
        std::uint32_t tail = readIndex.load(std::memory_order_relaxed);
        frontOffset += static_cast<std::uint32_t>(frames);
        if (frontOffset >= headers[tail % slotCount].frames) {
            frontOffset = 0;
            release(tail + 1, frames);
        } else {
            consumed.store(consumed.load(std::memory_order_relaxed) + frames,
                           std::memory_order_relaxed);
        }
    }

    //! Consumer: calls `note(const Arrival&)` once for each push published since the last
    //! call, oldest first, consumed or not.
    template <typename Note>
    void takeArrivals(Note&& note) {
        std::uint32_t head = writeIndex.load(std::memory_order_acquire);
        std::uint32_t tail = readIndex.load(std::memory_order_relaxed);
        if (static_cast<std::int32_t>(tail - noted) > 0) noted = tail;  // discarded unseen
        for (; noted != head; ++noted) {
            const Header& header = headers[noted % slotCount];
            if (header.pushFrames != 0) {
                note(Arrival{header.arrivalUs, header.pushFrames, header.sampleRate});
            }
        }
    }

    //! Consumer: frames waiting, including the unconsumed rest of the front slot.
    std::size_t queuedFrames() const {
        return static_cast<std::size_t>(written.load(std::memory_order_relaxed) -
                                        consumed.load(std::memory_order_relaxed));
    }

    std::uint32_t capacityFrames() const { return slotCount * slotFrames; }

  private:
    static std::uint32_t checkedSlots(std::uint32_t slots) {
        if (!std::has_single_bit(slots)) {
            throw std::invalid_argument("FrameRing: the slot count must be a power of two");
        }
        return slots;
    }

    struct Header {
        std::uint32_t frames = 0;
        std::uint32_t pushFrames = 0;
        int sampleRate = 0;
        std::int64_t arrivalUs = 0;
    };

    void release(std::uint32_t tail, std::size_t frames) {
        consumed.store(consumed.load(std::memory_order_relaxed) + frames,
                       std::memory_order_relaxed);
        readIndex.store(tail, std::memory_order_release);
    }

    std::int16_t* slot(std::uint32_t index) const {
        return const_cast<std::int16_t*>(samples.data()) +
               static_cast<std::size_t>(index % slotCount) * slotFrames * 2;
    }

    const std::uint32_t slotCount, slotFrames;
    std::vector<Header> headers;
    std::vector<std::int16_t> samples;
    std::atomic<std::uint32_t> writeIndex{0};
    std::atomic<std::uint32_t> readIndex{0};
    std::atomic<std::uint64_t> written{0};   // frames ever pushed
    std::atomic<std::uint64_t> consumed{0};  // frames ever consumed or discarded (consumer)
    std::atomic<std::uint32_t> discardUpTo{0};
    std::atomic<bool> discardPending{false};
    std::uint32_t frontOffset = 0;  // consumer only
    std::uint32_t noted = 0;        // consumer only
};

}  // namespace quavelink
