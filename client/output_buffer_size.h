#pragma once

#include <cstdint>

namespace quavelink {

//! How much the sound server should keep queued for this client. Its own thread sometimes
//! wakes late and then takes everything it missed at once: what it finds queued is all that
//! plays, and no playout on our side can reach it in time. So each time the stream runs dry
//! the buffer grows at once by a step, and after a calm stretch it shrinks back slowly towards
//! the size asked for. Runs dry in a stream's first two seconds are counted, not answered.
//! Single thread; times in µs on one steady clock.
class OutputBufferSize {
  public:
    //! `baseMs`: the size asked for and the least it shrinks to; `mostMs`: the most it grows to.
    OutputBufferSize(int baseMs, int mostMs) : base(baseMs), most(mostMs), size(baseMs) {}

    //! A stream opened at `nowUs` (at the size it has now): its count starts at 0.
    void newStream(std::int64_t nowUs);
    //! The stream's count of times it ran dry, read at `nowUs`; returns the size it should have.
    int update(std::uint64_t underflows, std::int64_t nowUs);

    int ms() const { return size; }
    int baseMs() const { return base; }

  private:
    int base, most, size;
    std::uint64_t seen = 0;
    std::int64_t calmSinceUs = 0;
    std::int64_t openedUs = 0;
};

}  // namespace quavelink
