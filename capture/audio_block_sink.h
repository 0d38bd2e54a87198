#pragma once

#include <cstdint>

namespace quavelink {

//! Where the capture engine hands its full blocks: the audio block pipeline in the program,
//! a recording fake in tests.
class AudioBlockSink {
  public:
    virtual ~AudioBlockSink() = default;
    //! Capture thread: one full block, `length` 1368 (338 plain frames) or 1936 (480 frames for
    //! the compressed stream), 16 bytes of header room first. The sink may write the first 16
    //! bytes; the block stays the engine's and is valid only during the call.
    virtual void processAudioBlock(std::uint8_t* block, int length) = 0;
};

}  // namespace quavelink
