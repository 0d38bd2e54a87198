#pragma once

#include <cstdint>

#include "server/wire_format.h"

namespace quavelink {

//! Where the capture engine hands its full blocks: the audio block pipeline in the program,
//! a recording fake in tests.
class AudioBlockSink {
  public:
    virtual ~AudioBlockSink() = default;
    //! Capture thread: one full block, `length` kPlainBlockLength or kOpusBlockLength (the
    //! compressed stream), kBlockHeaderBytes of header room first, which the sink may write;
    //! the block stays the engine's and is valid only during the call.
    virtual void processAudioBlock(std::uint8_t* block, int length) = 0;
    //! Capture thread, last: no more blocks come from this thread.
    virtual void captureEnded() {}
};

}  // namespace quavelink
