#pragma once

#include <vector>

#include "server/record_sink.h"

namespace quavelink::test {

//! Keeps every block pushed while `recording`, up to `capacity`.
class FakeRecordSink : public RecordSink {
  public:
    bool isRecording() const override { return recording; }
    bool pushRecordBlock(std::unique_ptr<std::uint8_t[]>& data, std::int32_t length,
                         std::int32_t sampleRate) override {
        if (blocks.size() >= capacity) return false;
        blocks.emplace_back(data.get(), data.get() + length);
        rates.push_back(sampleRate);
        data.reset();
        return true;
    }

    bool recording = false;
    std::size_t capacity = 5000;
    std::vector<std::vector<std::uint8_t>> blocks;
    std::vector<std::int32_t> rates;  //!< of each block kept
};

}  // namespace quavelink::test
