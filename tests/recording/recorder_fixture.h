#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio_files.h"
#include "platform/message_box.h"
#include "recording/recorder.h"
#include "support/recorded_boxes.h"
#include "support/temporary_folder.h"
#include "support/wait_until.h"

namespace quavelink::testing {

//! Bytes of PCM in one plain block: 338 stereo 16-bit frames.
constexpr int kBlockFrames = 338;
constexpr std::int32_t kBlockBytes = kBlockFrames * 4;

//! Runs a recorder's record thread for the lifetime of this object.
class RecordThread {
  public:
    explicit RecordThread(Recorder& recorder)
        : recorder(recorder), thread([&recorder] { recorder.runRecordThread(); }) {}
    ~RecordThread() {
        recorder.requestExit();
        thread.join();
    }

  private:
    Recorder& recorder;
    std::thread thread;
};

//! Feeds consecutive blocks of one continuous tone as the capture thread would, and keeps the
//! PCM of every block the recorder accepted. With `tagged` each block says its rate, as the
//! pipeline's do; else it comes at the recording's rate.
class ToneSource {
  public:
    ToneSource(double hz, int sampleRate, bool tagged = false)
        : hz(hz), sampleRate(sampleRate), tag(tagged ? sampleRate : 0) {}

    //! Pushes `count` blocks; returns how many were accepted.
    int push(Recorder& recorder, int count) {
        int accepted = 0;
        for (int i = 0; i < count; ++i) {
            std::vector<std::uint8_t> pcm = stereoTone(hz, sampleRate, nextFrame, kBlockFrames);
            auto block = std::make_unique<std::uint8_t[]>(pcm.size());
            std::copy(pcm.begin(), pcm.end(), block.get());
            if (!recorder.pushRecordBlock(block, kBlockBytes, tag)) continue;
            nextFrame += kBlockFrames;
            accepted_.insert(accepted_.end(), pcm.begin(), pcm.end());
            ++accepted;
        }
        return accepted;
    }

    const std::vector<std::uint8_t>& accepted() const { return accepted_; }

  private:
    double hz;
    int sampleRate;
    std::int32_t tag;
    std::int64_t nextFrame = 0;
    std::vector<std::uint8_t> accepted_;
};

//! Waits up to 10 s for `condition`; true when it held.
inline bool waitUntil(const std::function<bool()>& condition) {
    return test::waitUntil(condition, std::chrono::seconds(10));
}

inline std::uintmax_t sizeOf(const std::filesystem::path& path) {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

//! Opens `name` in `folder` as the main window does; the descriptor is closed with the object.
class RecordingFile {
  public:
    RecordingFile(const std::filesystem::path& folder, const std::string& name)
        : path(folder / name), fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {}
    ~RecordingFile() {
        if (fd >= 0) ::close(fd);
    }
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    //! The audio after the 44-byte header.
    std::vector<std::uint8_t> audio() const {
        std::vector<std::uint8_t> bytes = readFileBytes(path);
        if (bytes.size() <= 44) return {};
        return {bytes.begin() + 44, bytes.end()};
    }

    const std::filesystem::path path;
    const int fd;
};

}  // namespace quavelink::testing
