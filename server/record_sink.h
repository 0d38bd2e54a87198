#pragma once

#include <cstdint>
#include <memory>

namespace quavelink {

//! Where the block pipeline hands the PCM of each plain block while a recording runs.
//! Both calls come from the capture thread and must never block.
class RecordSink {
  public:
    virtual ~RecordSink() = default;
    //! Whether a record file is open.
    virtual bool isRecording() const = 0;
    //! Takes `data`, captured at `sampleRate` (moving from it), and returns true, or returns
    //! false when the queue is full and leaves `data` with the caller.
    virtual bool pushRecordBlock(std::unique_ptr<std::uint8_t[]>& data, std::int32_t length,
                                 std::int32_t sampleRate) = 0;
};

}  // namespace quavelink
