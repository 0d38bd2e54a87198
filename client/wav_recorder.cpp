#include "client/wav_recorder.h"

#include <chrono>

namespace quavelink {
namespace {
// 4096 slots of 256 frames: 22 s at 48 kHz.
constexpr std::uint32_t kSlots = 4096;
constexpr std::uint32_t kSlotFrames = 256;
// The ring is looked at this often: a write a few times a second keeps the file current.
constexpr auto kLookEvery = std::chrono::milliseconds(50);
}  // namespace

std::string wavPathForRate(const std::string& path, int rate, int fileIndex) {
    if (fileIndex == 0) return path;
    std::size_t dot = path.rfind('.');
    std::size_t slash = path.rfind('/');
    std::string suffix = "-" + std::to_string(fileIndex + 1) + "-" + std::to_string(rate);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return path + suffix;
    }
    return path.substr(0, dot) + suffix + path.substr(dot);
}

WavRecorder::WavRecorder(std::string path, std::function<void(const std::string&)> report)
    : path(std::move(path)),
      report(std::move(report)),
      ring(kSlots, kSlotFrames),
      thread([this] { run(); }) {}

WavRecorder::~WavRecorder() { finish(); }

void WavRecorder::push(const std::int16_t* samples, std::size_t frames, int rate) {
    if (!ring.push(samples, frames, rate, 0)) lost.fetch_add(frames, std::memory_order_relaxed);
}

void WavRecorder::finish() {
    finishing = true;
    wake.notify_one();
    if (thread.joinable()) thread.join();
}

void WavRecorder::run() {
    for (;;) {
        bool last = finishing.load();
        writeWaiting();
        if (last) break;
        std::unique_lock lock(mutex);
        wake.wait_for(lock, kLookEvery, [this] { return finishing.load(); });
    }
    file.close();
}

void WavRecorder::writeWaiting() {
    const std::int16_t* frames = nullptr;
    std::size_t count = 0;
    int rate = 0;
    while (ring.front(frames, count, rate)) {
        std::string failure;
        if (!failed && (!file.isOpen() || file.sampleRate() != rate)) {
            file.close();
            if (file.open(wavPathForRate(path, rate, files), rate, failure)) {
                ++files;
            } else {
                failed = true;
                report(failure);
            }
        }
        if (!failed && !file.write(frames, count, failure)) {
            failed = true;
            report(failure);
        }
        ring.consume(count);
    }
    if (!lossTold && lostFrames() > 0) {
        lossTold = true;
        report("the disk did not keep up: the WAV file misses what came meanwhile");
    }
}

}  // namespace quavelink
