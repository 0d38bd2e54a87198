#include <cerrno>

#include "recording/record_encoder.h"

namespace quavelink {
namespace {

// Keeps the adapter's boxes until the recorder shows them, after it has let go of recordLock.
class HeldBoxes : public MessageBoxHost {
  public:
    void ShowMessageBox(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

}  // namespace

EncoderStatus Mp3RecordEncoder::start(int, std::int32_t sampleRate, std::int32_t kbps) {
    HeldBoxes boxes;
    if (stream.openMp3Stream(2, sampleRate, kbps, boxes) != 0)
        return {false, std::move(boxes.texts)};
    opened = true;
    return {true, std::move(boxes.texts)};
}

EncoderStatus Mp3RecordEncoder::encode(int fd, const std::uint8_t* pcm, std::int32_t length) {
    errno = 0;
    if (stream.encodeMp3Chunk(fd, pcm, length) != 0) {
        failed = true;
        // errno stays 0 when the encoder itself failed: then there is no system reason.
        return {false, {"MP3 encode/write error"}, errno};
    }
    return {};
}

EncoderStatus Mp3RecordEncoder::finish(int fd, const std::string& path) {
    // A stream that never opened has nothing to flush and no tag to write.
    if (!opened) return {};
    opened = false;
    // The file already lacks audio (a full disk, most often): the last frames would follow a
    // gap, the tag would count frames that are not there, and the user has been told once.
    if (failed) {
        stream.abandonMp3Stream();
        return {};
    }
    errno = 0;
    if (stream.finishMp3Stream(fd, path.c_str()) != 0) {
        return {false, {"Error, could not finalize MP3 file, it may not play properly"}, errno};
    }
    return {};
}

std::unique_ptr<RecordEncoder> makeRecordEncoder(bool mp3) {
    if (mp3) return std::make_unique<Mp3RecordEncoder>();
    return std::make_unique<WavRecordEncoder>();
}

}  // namespace quavelink
