#include "recording/recorder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "platform/thread.h"
#include "recorder_fixture.h"
#include "recording/lock_sem.h"
#include "recording/mp3/mp3_encoder.h"
#include "tone.h"

namespace quavelink {
namespace {

using test::RecordedBoxes;
using test::TemporaryFolder;
using testing::inspectWithSox;
using testing::kBlockBytes;
using testing::kBlockFrames;
using testing::le32At;
using testing::readFileBytes;
using testing::RecordingFile;
using testing::RecordThread;
using testing::sizeOf;
using testing::ToneSource;
using testing::waitUntil;

class RecorderTest : public ::testing::Test {
  protected:
    void startWav(const RecordingFile& file, std::int32_t rate = 48000) {
        recorder->setRecordTarget(file.path, file.fd, rate, false, 0);
    }
    void stop() { recorder->setRecordTarget("", -1, 0, false, 0); }

    // The file is a WAV that sox reads back as exactly the audio `tone` handed over.
    void expectHolds(const RecordingFile& file, const ToneSource& tone, double hz) {
        EXPECT_EQ(file.audio(), tone.accepted()) << file.path;
        std::vector<std::uint8_t> bytes = readFileBytes(file.path);
        ASSERT_GE(bytes.size(), 44u);
        EXPECT_EQ(le32At(bytes, 40), tone.accepted().size());
        EXPECT_EQ(le32At(bytes, 4), tone.accepted().size() + 36);
        auto sox = inspectWithSox(file.path);
        ASSERT_TRUE(sox.readable) << sox.output;
        EXPECT_EQ(sox.channels, 2);
        EXPECT_EQ(sox.frames, static_cast<std::int64_t>(tone.accepted().size() / 4));
        if (sox.frames > 4800) {
            EXPECT_NEAR(sox.roughFrequency, hz, hz / 50);
        }
    }

    // True once the record thread has written at least `bytes` of audio into `file`.
    static bool waitForAudio(const RecordingFile& file, std::size_t bytes) {
        return waitUntil([&] { return sizeOf(file.path) >= 44 + bytes; });
    }

    TemporaryFolder folder;
    RecordedBoxes boxes;
    // Shared, so that a thread left waiting for it by a failed test cannot outlive it.
    std::shared_ptr<LockSem> lock = std::make_shared<LockSem>();
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>(*lock, boxes);
};

// The capture came back on a device running at 44100 Hz while a 48000 Hz recording ran: the
// file stays one 48000 Hz recording, the later audio converted, at its true pitch and length.
TEST_F(RecorderTest, AudioAtAnotherRateIsConvertedToTheRateTheRecordingStartedWith) {
    RecordThread thread(*recorder);
    RecordingFile file(folder.path(), "take.wav");
    ToneSource before(1000, 48000, true), after(1000, 44100, true), back(1000, 48000, true);
    startWav(file, 48000);
    ASSERT_EQ(before.push(*recorder, 142), 142);
    ASSERT_TRUE(waitForAudio(file, 142 * kBlockBytes));
    ASSERT_EQ(after.push(*recorder, 261), 261);  // two seconds at 44100 Hz
    ASSERT_TRUE(waitForAudio(file, (142 + 284) * kBlockBytes - 4 * 48000 / 100));
    // And at the file's own rate again, written as it comes.
    ASSERT_EQ(back.push(*recorder, 10), 10);
    stop();

    std::vector<std::uint8_t> bytes = readFileBytes(file.path);
    ASSERT_GT(bytes.size(), 44u);
    EXPECT_EQ(le32At(bytes, 24), 48000u);
    EXPECT_EQ(le32At(bytes, 40), bytes.size() - 44);
    const double seconds = (bytes.size() - 44) / (4.0 * 48000);
    const double expected = (142 + 10) * kBlockFrames / 48000.0 + 261 * kBlockFrames / 44100.0;
    EXPECT_NEAR(seconds, expected, 0.01);
    // The two converted seconds, short of their first and last 100 ms, hold the tone at 1 kHz.
    const std::size_t from = (142 * kBlockFrames + 4800) * 4;
    const std::size_t length = (2 * 48000 - 2 * 4800) * 4;
    EXPECT_GT(test::toneShare(test::leftChannel(bytes.data() + 44 + from, length), 1000, 48000),
              0.95);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(RecorderTest, EveryBlockPushedBeforeTheStopIsInTheFile) {
    RecordThread thread(*recorder);
    RecordingFile file(folder.path(), "take.wav");
    ToneSource tone(1000, 48000);
    EXPECT_FALSE(recorder->isRecording());
    startWav(file);
    EXPECT_TRUE(recorder->isRecording());
    ASSERT_EQ(tone.push(*recorder, 40), 40);
    ASSERT_TRUE(waitForAudio(file, 40 * kBlockBytes));
    // These are still queued when the stop comes: they are the end of the recording.
    ASSERT_EQ(tone.push(*recorder, 25), 25);
    stop();
    EXPECT_FALSE(recorder->isRecording());
    expectHolds(file, tone, 1000);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(RecorderTest, AWavRecordingCutShortPlaysUpToItsLastWakeUp) {
    RecordThread thread(*recorder);
    RecordingFile file(folder.path(), "killed.wav");
    ToneSource tone(1000, 48000);
    startWav(file);
    ASSERT_EQ(tone.push(*recorder, 40), 40);
    // Read while the recording runs, as after a crash: the header already tells the truth.
    ASSERT_TRUE(waitUntil([&] {
        std::vector<std::uint8_t> bytes = readFileBytes(file.path);
        return bytes.size() == 44u + 40 * kBlockBytes && le32At(bytes, 40) == 40u * kBlockBytes;
    }));
    auto sox = inspectWithSox(file.path);
    ASSERT_TRUE(sox.readable) << sox.output;
    EXPECT_EQ(sox.frames, 40 * kBlockFrames);
    // Later blocks go on after the audio, not over the header's end.
    ASSERT_EQ(tone.push(*recorder, 10), 10);
    stop();
    expectHolds(file, tone, 1000);
}

TEST_F(RecorderTest, RecordingStoppedBeforeTheRecordThreadWokeIsStillComplete) {
    RecordingFile file(folder.path(), "quick.wav");
    ToneSource tone(440, 44100);
    startWav(file, 44100);
    ASSERT_EQ(tone.push(*recorder, 30), 30);
    stop();
    expectHolds(file, tone, 440);
    EXPECT_EQ(inspectWithSox(file.path).sampleRate, 44100);

    RecordingFile empty(folder.path(), "empty.wav");
    startWav(empty);
    stop();
    EXPECT_EQ(sizeOf(empty.path), 44u);
    EXPECT_EQ(le32At(readFileBytes(empty.path), 4), 36u);
}

TEST_F(RecorderTest, StopAndNewStartBetweenTwoWakeUpsLeaveBothFilesComplete) {
    RecordThread thread(*recorder);
    RecordingFile first(folder.path(), "first.wav");
    RecordingFile second(folder.path(), "second.wav");
    ToneSource firstTone(1000, 48000);
    ToneSource secondTone(500, 48000);

    startWav(first);
    ASSERT_EQ(firstTone.push(*recorder, 20), 20);
    ASSERT_TRUE(waitForAudio(first, 20 * kBlockBytes));
    ASSERT_EQ(firstTone.push(*recorder, 10), 10);
    stop();
    startWav(second);
    ASSERT_EQ(secondTone.push(*recorder, 20), 20);
    // The record thread sees only the new target: it must give it a header before its audio.
    ASSERT_TRUE(waitForAudio(second, 20 * kBlockBytes));
    ASSERT_EQ(secondTone.push(*recorder, 10), 10);
    stop();

    expectHolds(first, firstTone, 1000);
    expectHolds(second, secondTone, 500);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(RecorderTest, TargetsReplacedFasterThanTheRecordThreadWakesAreAllComplete) {
    RecordThread thread(*recorder);
    std::vector<std::unique_ptr<RecordingFile>> files;
    std::vector<std::unique_ptr<ToneSource>> tones;
    for (int i = 0; i < 4; ++i) {
        files.push_back(std::make_unique<RecordingFile>(folder.path(), "t" + std::to_string(i)));
        tones.push_back(std::make_unique<ToneSource>(300 + 200 * i, 48000));
        startWav(*files.back());
        ASSERT_EQ(tones.back()->push(*recorder, 15), 15);
        stop();
    }
    for (int i = 0; i < 4; ++i) expectHolds(*files[i], *tones[i], 300 + 200 * i);
}

TEST_F(RecorderTest, WriteErrorIsReportedOnceAndTheNextRecordingIsClean) {
    RecordThread thread(*recorder);
    {
        RecordingFile full("/dev", "full");
        ASSERT_GE(full.fd, 0);
        ToneSource tone(1000, 48000);
        startWav(full);
        tone.push(*recorder, 5);
        ASSERT_TRUE(boxes.waitFor("WAV write error"));
        tone.push(*recorder, 5);
        stop();
        EXPECT_EQ(boxes.shown(),
                  (std::vector<std::string>{
                      "Error, could not write WAV file header", "WAV write error",
                      "Error, could not finalize WAV file header, file may not play properly"}));
    }
    RecordingFile file(folder.path(), "after.wav");
    ToneSource tone(1000, 48000);
    startWav(file);
    ASSERT_EQ(tone.push(*recorder, 20), 20);
    ASSERT_TRUE(waitForAudio(file, 20 * kBlockBytes));
    ASSERT_EQ(tone.push(*recorder, 5), 5);
    stop();
    expectHolds(file, tone, 1000);
    EXPECT_EQ(boxes.shown().size(), 3u);
}

TEST_F(RecorderTest, BlocksQueuedWhileNoFileIsOpenNeverReachTheNextFile) {
    ToneSource stray(3000, 48000);
    EXPECT_EQ(stray.push(*recorder, 12), 12);
    RecordingFile first(folder.path(), "first.wav");
    ToneSource firstTone(1000, 48000);
    startWav(first);
    ASSERT_EQ(firstTone.push(*recorder, 10), 10);
    stop();
    // A capture thread that saw the recording running just before the stop may still queue.
    EXPECT_EQ(stray.push(*recorder, 3), 3);
    RecordingFile second(folder.path(), "second.wav");
    ToneSource secondTone(1000, 48000);
    startWav(second);
    ASSERT_EQ(secondTone.push(*recorder, 10), 10);
    stop();
    expectHolds(first, firstTone, 1000);
    expectHolds(second, secondTone, 1000);
}

TEST_F(RecorderTest, FullQueueRefusesTheBlockAndLeavesItWithTheCaller) {
    RecordingFile file(folder.path(), "long.wav");
    ToneSource tone(1000, 48000);
    startWav(file);
    ASSERT_EQ(tone.push(*recorder, 5000), 5000);
    auto refused = std::make_unique<std::uint8_t[]>(kBlockBytes);
    std::uint8_t* kept = refused.get();
    EXPECT_FALSE(recorder->pushRecordBlock(refused, kBlockBytes));
    EXPECT_EQ(refused.get(), kept);
    stop();
    expectHolds(file, tone, 1000);
    EXPECT_EQ(file.audio().size(), 5000u * kBlockBytes);
}

TEST_F(RecorderTest, UnusableBlocksAreRefused) {
    std::unique_ptr<std::uint8_t[]> none;
    EXPECT_FALSE(recorder->pushRecordBlock(none, kBlockBytes));
    auto block = std::make_unique<std::uint8_t[]>(kBlockBytes);
    EXPECT_FALSE(recorder->pushRecordBlock(block, -1));
    EXPECT_FALSE(recorder->pushRecordBlock(block, 0));
    EXPECT_NE(block, nullptr);
}

TEST_F(RecorderTest, ChangingTheTargetWaitsForTheLockTheRecorderWasGiven) {
    RecordingFile file(folder.path(), "take.wav");
    std::unique_lock hold(*lock);
    auto started = std::async(std::launch::async, [&] { startWav(file); });
    EXPECT_EQ(started.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_FALSE(recorder->isRecording());
    hold.unlock();
    started.get();
    EXPECT_TRUE(recorder->isRecording());
    stop();
}

TEST_F(RecorderTest, MessageBoxesAreShownWithoutHoldingTheRecordLock) {
    std::vector<bool> lockWasFree;
    std::mutex lockWasFreeMutex;
    boxes.onShow = [&](const std::string&) {
        // A window thread waiting for the lock must be able to get it while the box is up.
        // Detached, so that a lock wrongly held here ends in a failure instead of a hang.
        auto got = std::make_shared<std::promise<void>>();
        std::future<void> gotIt = got->get_future();
        std::thread([got, recordLock = lock] {
            std::lock_guard hold(*recordLock);
            got->set_value();
        }).detach();
        bool free = gotIt.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        std::lock_guard lock(lockWasFreeMutex);
        lockWasFree.push_back(free);
    };
    RecordThread thread(*recorder);
    RecordingFile full("/dev", "full");
    ToneSource tone(1000, 48000);
    startWav(full);
    tone.push(*recorder, 3);
    ASSERT_TRUE(boxes.waitFor("WAV write error"));
    stop();
    std::lock_guard lock(lockWasFreeMutex);
    EXPECT_EQ(lockWasFree, std::vector<bool>(3, true));
}

// Nice values of this process's threads, from /proc.
std::vector<int> threadNiceValues() {
    std::vector<int> values;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto end = stat.rfind(')');
        if (end == std::string::npos) continue;
        std::istringstream fields(stat.substr(end + 2));
        std::string field;
        // After the command name: state is field 3, nice is field 19.
        for (int number = 3; number <= 19 && fields >> field; ++number) {
            if (number == 19) values.push_back(std::stoi(field));
        }
    }
    return values;
}

TEST_F(RecorderTest, RecordThreadAnnouncesItselfAndRunsAtTheLowestPriority) {
    std::mutex linesMutex;
    std::vector<std::string> lines;
    setLogObserver([&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    {
        RecordThread thread(*recorder);
        EXPECT_TRUE(waitUntil([] {
            for (int nice : threadNiceValues())
                if (nice == 19) return true;
            return false;
        }));
    }
    setLogObserver(nullptr);
    std::lock_guard lock(linesMutex);
    EXPECT_EQ(lines, std::vector<std::string>{"File record thread started\n"});
}

// The program's record thread runs on a stack of its own size, which has to carry the MP3
// encoder's work; stopping the thread ends the recorder's loop.
TEST(RecorderOnItsThread, RecordsMp3AndWavOnItsOwnStackAndStops) {
    static RecordedBoxes boxes;
    Recorder recorder(recordLock, boxes);
    WorkerThread thread;
    ASSERT_TRUE(startRecordThread(recorder, thread));
    ASSERT_EQ(loadLameEncoder(boxes), 0);
    TemporaryFolder folder;

    RecordingFile mp3(folder.path(), "take.mp3");
    ToneSource mp3Tone(1000, 48000);
    recorder.setRecordTarget(mp3.path, mp3.fd, 48000, true, 0);
    ASSERT_EQ(mp3Tone.push(recorder, 150), 150);
    ASSERT_TRUE(waitUntil([&] { return sizeOf(mp3.path) > 0; }));
    recorder.setRecordTarget("", -1, 0, false, 0);

    RecordingFile wav(folder.path(), "take.wav");
    ToneSource wavTone(1000, 48000);
    recorder.setRecordTarget(wav.path, wav.fd, 48000, false, 0);
    ASSERT_EQ(wavTone.push(recorder, 50), 50);
    ASSERT_TRUE(waitUntil([&] { return sizeOf(wav.path) >= 44 + 50 * kBlockBytes; }));
    recorder.setRecordTarget("", -1, 0, false, 0);

    EXPECT_EQ(wav.audio(), wavTone.accepted());
    EXPECT_TRUE(boxes.shown().empty());
    thread.stop();
    EXPECT_FALSE(thread.running());
}

}  // namespace
}  // namespace quavelink
