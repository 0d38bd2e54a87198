#pragma once

#include <cstdint>

namespace quavelink {

//! Follows the running block numbers of one block stream and says what each new number means:
//! the next block, blocks missing before it, a late or repeated block, or a stream whose
//! numbering started again. Single thread (the network thread).
class BlockSequence {
  public:
    enum class Kind {
        First,    //!< the first block since the sequence was (re)started
        Next,     //!< the block after the previous one
        Gap,      //!< `missing` blocks were never received before this one
        Stale,    //!< older than (or the same as) one already taken: drop it
        Restart,  //!< too far from the last one to be a gap: the numbering started again
    };
    struct Step {
        Kind kind;
        std::uint32_t missing = 0;
    };

    //! A jump forward this long or longer (about 7 to 10 s of audio) is taken as a new
    //! numbering rather than as lost blocks.
    static constexpr std::uint32_t kMaxGap = 1000;

    Step accept(std::uint32_t blockNumber);
    //! Forgets the last block: the next one is First.
    void reset() { started = false; }

    std::uint32_t expectedNext() const { return expected; }

  private:
    bool started = false;
    std::uint32_t expected = 0;
};

}  // namespace quavelink
