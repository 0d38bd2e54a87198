#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "capture/audio_block_sink.h"
#include "capture/audio_startup.h"
#include "capture/endpoint_list.h"
#include "fake_audio_system.h"
#include "stepped_polls.h"
#include "support/log_capture.h"
#include "support/recorded_boxes.h"

namespace quavelink::test {

//! Keeps a copy of every block the engine hands over. Any thread.
class RecordingBlockSink : public AudioBlockSink {
  public:
    void processAudioBlock(std::uint8_t* block, int length) override {
        std::lock_guard lock(mutex);
        blocks.emplace_back(block, block + length);
        changed.notify_all();
    }

    //! Waits until `count` blocks of `length` bytes have arrived.
    bool waitFor(int length, int count, int timeoutMs = 3000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return countLocked(length) >= count; });
    }

    std::vector<std::vector<std::uint8_t>> of(int length) {
        std::lock_guard lock(mutex);
        std::vector<std::vector<std::uint8_t>> out;
        for (auto& block : blocks) {
            if (static_cast<int>(block.size()) == length) out.push_back(block);
        }
        return out;
    }

    int count(int length) {
        std::lock_guard lock(mutex);
        return countLocked(length);
    }

  private:
    int countLocked(int length) {
        int n = 0;
        for (auto& block : blocks) n += static_cast<int>(block.size()) == length;
        return n;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::uint8_t>> blocks;
};

inline std::int16_t sampleAt(const std::vector<std::uint8_t>& block, int frame, int side) {
    std::size_t at =
        kBlockHeaderBytes + static_cast<std::size_t>(frame) * kBlockFrameBytes + side * 2;
    return static_cast<std::int16_t>(block[at] | block[at + 1] << 8);
}

inline FakeAudioSystem::Device renderDevice(const std::string& id, std::uint32_t rate = 48000,
                                            std::uint16_t channels = 2,
                                            const std::string& description = "Speakers") {
    FakeAudioSystem::Device device;
    device.id = id;
    device.flow = audio::DataFlow::Render;
    device.format = audio::FloatMixFormat(channels, rate, channels == 2 ? 0x3 : 0x3F);
    device.properties.friendlyName = description;
    device.properties.deviceDesc = description;
    device.properties.formFactor = "speaker";
    return device;
}

inline FakeAudioSystem::Device captureDevice(const std::string& id, std::uint32_t rate = 48000,
                                             const std::string& description = "Microphone") {
    FakeAudioSystem::Device device = renderDevice(id, rate, 2, description);
    device.flow = audio::DataFlow::Capture;
    device.properties.formFactor = "";
    return device;
}

//! An endpoint list and audio start-up over the fake, with no silence keep-alive unless a test
//! asks for it, and no 48 kHz advice unless the test passes false for `adviceShownBefore`.
class CaptureTest : public ::testing::Test {
  protected:
    explicit CaptureTest(bool adviceShownBefore = true) : adviceShownBefore(adviceShownBefore) {}

    void SetUp() override {
        ::setenv("QUAVELINK_SERVER_NOSILENCE", "1", 1);
        ::unsetenv("QUAVELINK_SERVER_NOWARN_48K");
    }

    void TearDown() override {
        startup.stopCapture();
        ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
        ::unsetenv("QUAVELINK_SERVER_NOWARN_48K");
    }

    FakeAudioSystem system;
    RecordingBlockSink sink;
    RecordedBoxes boxes;
    ChannelSelection channels;
    EndpointList endpoints{system};
    //! The advice setting as the program keeps it; `adviceRecorded` counts what it was told.
    bool adviceShownBefore;
    int adviceRecorded = 0;
    Warn48kSetting warn48k() {
        return {adviceShownBefore, [this] { ++adviceRecorded; }};
    }
    //! The poll source of tests that count polls (startup.setPollSource); outlives `startup`.
    SteppedPolls polls;
    AudioStartup startup{endpoints, sink, boxes, channels, warn48k()};
    std::atomic<bool> is48k{false};
};

}  // namespace quavelink::test
