#pragma once

#include "recording/recorder.h"
#include "server/record_sink.h"

namespace quavelink {

//! The recorder as the block pipeline's record queue.
class RecorderRecordSink : public RecordSink {
  public:
    explicit RecorderRecordSink(Recorder& recorder) : recorder(recorder) {}
    bool isRecording() const override { return recorder.isRecording(); }
    bool pushRecordBlock(std::unique_ptr<std::uint8_t[]>& data, std::int32_t length,
                         std::int32_t sampleRate) override {
        return recorder.pushRecordBlock(data, length, sampleRate);
    }

  private:
    Recorder& recorder;
};

}  // namespace quavelink
