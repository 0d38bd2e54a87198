#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "recorder_fixture.h"
#include "recording/mp3/mp3_encoder.h"
#include "recording/recorder.h"

namespace quavelink {
namespace {

using test::RecordedBoxes;
using test::TemporaryFolder;
using testing::inspectWithSox;
using testing::kBlockFrames;
using testing::RecordingFile;
using testing::RecordThread;
using testing::sizeOf;
using testing::ToneSource;
using testing::waitUntil;

class Mp3Recording : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(loadLameEncoder(boxes), 0) << "libmp3lame.so.0 missing"; }

    void stop() { recorder->setRecordTarget("", -1, 0, false, 0); }

    // Records about two seconds of a 1000 Hz tone, half of it while the record thread runs
    // and half still queued at the stop, and checks what mpg123 decodes from the file.
    void recordAndDecode(std::int32_t rate, std::int32_t kbps) {
        RecordThread thread(*recorder);
        RecordingFile file(folder.path(), "take.mp3");
        ToneSource tone(1000, rate);
        recorder->setRecordTarget(file.path, file.fd, rate, true, kbps);
        int blocksPerSecond = rate / kBlockFrames;
        ASSERT_EQ(tone.push(*recorder, blocksPerSecond), blocksPerSecond);
        ASSERT_TRUE(waitUntil([&] { return sizeOf(file.path) > 0; }));
        ASSERT_EQ(tone.push(*recorder, blocksPerSecond), blocksPerSecond);
        stop();
        expectDecodesTo(file, rate, 1000, std::int64_t{2} * blocksPerSecond * kBlockFrames);
        EXPECT_TRUE(boxes.shown().empty());
    }

    // What mpg123 decodes from `file` is `frames` of a `hz` tone at `rate`.
    void expectDecodesTo(const RecordingFile& file, std::int32_t rate, double hz,
                         std::int64_t frames) {
        SCOPED_TRACE(file.path);
        auto decoded = folder.path() / (file.path.filename().string() + ".wav");
        std::string command =
            "mpg123 -q -w '" + decoded.string() + "' '" + file.path.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        auto sox = inspectWithSox(decoded);
        ASSERT_TRUE(sox.readable) << sox.output;
        EXPECT_EQ(sox.sampleRate, rate);
        EXPECT_EQ(sox.channels, 2);
        // Encoder delay and padding add at most a couple of 1152-frame MP3 frames.
        EXPECT_NEAR(static_cast<double>(sox.frames), static_cast<double>(frames), 2304);
        EXPECT_NEAR(sox.roughFrequency, hz, hz / 50);
    }

    TemporaryFolder folder;
    RecordedBoxes boxes;
    LockSem lock;
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>(lock, boxes);
};

TEST_F(Mp3Recording, FixedBitRateAt48000HzDecodesToTheSameToneAndLength) {
    recordAndDecode(48000, 128);
}

TEST_F(Mp3Recording, VbrAt44100HzDecodesToTheSameToneAndLength) { recordAndDecode(44100, 0); }

TEST_F(Mp3Recording, StreamThatCannotOpenWritesNothingAndTheNextRecordingWorks) {
    {
        RecordingFile file(folder.path(), "refused.mp3");
        ToneSource tone(1000, 48000);
        // No MP3 encoder takes 12345 Hz, so the stream cannot open.
        recorder->setRecordTarget(file.path, file.fd, 12345, true, 128);
        tone.push(*recorder, 20);
        stop();
        EXPECT_EQ(sizeOf(file.path), 0u);
        EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Error opening encoding stream"});
    }
    RecordingFile file(folder.path(), "after.mp3");
    ToneSource tone(1000, 48000);
    recorder->setRecordTarget(file.path, file.fd, 48000, true, 192);
    tone.push(*recorder, 142);
    stop();
    EXPECT_GT(sizeOf(file.path), 0u);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

TEST_F(Mp3Recording, TwoRecordersAtOnceEachWriteTheirOwnTake) {
    LockSem otherLock;
    Recorder other(otherLock, boxes);
    RecordThread thread(*recorder), otherThread(other);
    RecordingFile file(folder.path(), "first.mp3"), otherFile(folder.path(), "second.mp3");
    ToneSource tone(1000, 48000), otherTone(2000, 44100);
    recorder->setRecordTarget(file.path, file.fd, 48000, true, 128);
    other.setRecordTarget(otherFile.path, otherFile.fd, 44100, true, 192);
    const int blocks = 48000 / kBlockFrames;
    for (int half = 0; half < 2; ++half) {
        ASSERT_EQ(tone.push(*recorder, blocks), blocks);
        ASSERT_EQ(otherTone.push(other, blocks), blocks);
        ASSERT_TRUE(waitUntil([&] { return sizeOf(file.path) > 0 && sizeOf(otherFile.path) > 0; }));
    }
    stop();
    other.setRecordTarget("", -1, 0, false, 0);
    expectDecodesTo(file, 48000, 1000, std::int64_t{2} * blocks * kBlockFrames);
    expectDecodesTo(otherFile, 44100, 2000, std::int64_t{2} * blocks * kBlockFrames);
    EXPECT_TRUE(boxes.shown().empty());
}

}  // namespace
}  // namespace quavelink
