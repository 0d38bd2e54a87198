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

        auto decoded = folder.path() / "decoded.wav";
        std::string command =
            "mpg123 -q -w '" + decoded.string() + "' '" + file.path.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        auto sox = inspectWithSox(decoded);
        ASSERT_TRUE(sox.readable) << sox.output;
        EXPECT_EQ(sox.sampleRate, rate);
        EXPECT_EQ(sox.channels, 2);
        // Encoder delay and padding add at most a couple of 1152-frame MP3 frames.
        std::int64_t pushedFrames = std::int64_t{2} * blocksPerSecond * kBlockFrames;
        EXPECT_NEAR(static_cast<double>(sox.frames), static_cast<double>(pushedFrames), 2304);
        EXPECT_NEAR(sox.roughFrequency, 1000, 20);
        EXPECT_TRUE(boxes.shown().empty());
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

}  // namespace
}  // namespace quavelink
