// Recordings made by a process of their own (recording_child): one whose file system fills up,
// one killed with SIGKILL while it records.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "child_process.h"
#include "recorder_fixture.h"
#include "recording/mp3/mp3_encoder.h"

namespace quavelink {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::RecordedBoxes;
using test::TemporaryFolder;
using testing::inspectWithSox;
using testing::kBlockFrames;
using testing::le32At;
using testing::readFileBytes;
using testing::sizeOf;
using testing::stereoTone;
using testing::waitUntil;

// recording_child with `arguments`, in a mount namespace of its own in which `smallDisk` is a
// fresh tmpfs of `kib` KiB: a real file system that less than a second of audio fills.
std::vector<std::string> onSmallDisk(const std::filesystem::path& smallDisk, int kib,
                                     std::vector<std::string> arguments) {
    std::vector<std::string> command = {"/usr/bin/unshare", "-m"};
    if (::geteuid() != 0) command.push_back("-r");
    std::string mount = "mount -t tmpfs -o size=" + std::to_string(kib) + "k tmpfs \"$0\"";
    command.insert(command.end(),
                   {"sh", "-c", mount + R"( && exec "$@")", smallDisk.string(), RECORDING_CHILD});
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<std::string> boxesIn(const std::string& output) {
    std::vector<std::string> boxes;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("box: ", 0) == 0) boxes.push_back(line.substr(5));
    }
    return boxes;
}

bool lameLoads() {
    RecordedBoxes boxes;
    return loadLameEncoder(boxes) == 0;
}

// Blocks in one second of the child's recording, all of which it must have queued.
constexpr int kBlocksPerSecond = 48000 / kBlockFrames;

std::string recordedLine(const std::filesystem::path& path) {
    return "recorded " + path.string() + " pushed=" + std::to_string(kBlocksPerSecond) +
           " refused=0";
}

// Decodes `mp3` into `wav` with mpg123; what went wrong, or "" when nothing did.
std::string decodeProblems(const std::filesystem::path& mp3, const std::filesystem::path& wav) {
    std::string command = "mpg123 -q -w '" + wav.string() + "' '" + mp3.string() + "' 2>&1";
    std::string printed;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) printed += chunk;
    int status = ::pclose(pipe);
    if (status != 0) return "exit status " + std::to_string(status) + ": " + printed;
    return printed;
}

TEST(FullDisk, WavWriteErrorIsShownOnceTheQueueKeepsTakingBlocksAndTheNextRecordingIsWhole) {
    TemporaryFolder smallDisk, elsewhere;
    const auto full = smallDisk.path() / "full.wav";
    const auto next = elsewhere.path() / "next.wav";
    ChildProcess child(onSmallDisk(smallDisk.path(), 64, {"wav", "1", full, next}));
    ASSERT_EQ(child.wait(30s), 0) << child.output() << child.errors();

    EXPECT_EQ(boxesIn(child.output()), std::vector<std::string>{"WAV write error"});
    // Every block of both recordings went into the queue: the full disk held up nothing.
    EXPECT_NE(child.output().find(recordedLine(full)), std::string::npos) << child.output();
    EXPECT_NE(child.output().find(recordedLine(next)), std::string::npos) << child.output();
    auto sox = inspectWithSox(next);
    ASSERT_TRUE(sox.readable) << sox.output;
    EXPECT_EQ(sox.frames, kBlocksPerSecond * kBlockFrames);
    std::vector<std::uint8_t> bytes = readFileBytes(next);
    EXPECT_TRUE(std::equal(bytes.begin() + 44, bytes.end(),
                           stereoTone(1000, 48000, 0, kBlocksPerSecond * kBlockFrames).begin()));
}

TEST(FullDisk, Mp3WriteErrorIsShownOnceTheQueueKeepsTakingBlocksAndTheNextRecordingIsWhole) {
    if (!lameLoads()) GTEST_SKIP() << "libmp3lame.so.0 cannot be loaded";
    TemporaryFolder smallDisk, elsewhere;
    const auto full = smallDisk.path() / "full.mp3";
    const auto next = elsewhere.path() / "next.mp3";
    // 128 kbit/s fills 8 KiB in half a second.
    ChildProcess child(onSmallDisk(smallDisk.path(), 8, {"mp3", "1", full, next}));
    ASSERT_EQ(child.wait(30s), 0) << child.output() << child.errors();

    EXPECT_EQ(boxesIn(child.output()), std::vector<std::string>{"MP3 encode/write error"});
    EXPECT_NE(child.output().find(recordedLine(full)), std::string::npos) << child.output();
    EXPECT_NE(child.output().find(recordedLine(next)), std::string::npos) << child.output();
    auto decoded = elsewhere.path() / "decoded.wav";
    EXPECT_EQ(decodeProblems(next, decoded), "");
    auto sox = inspectWithSox(decoded);
    ASSERT_TRUE(sox.readable) << sox.output;
    // Encoder delay and padding add at most a couple of 1152-frame MP3 frames.
    EXPECT_NEAR(static_cast<double>(sox.frames), kBlocksPerSecond * kBlockFrames, 2304);
    EXPECT_NEAR(sox.roughFrequency, 1000, 20);
}

// The pushed count the child printed last.
long lastPushed(const std::string& output) {
    auto at = output.rfind("pushed ");
    return at == std::string::npos ? 0 : std::atol(output.c_str() + at + 7);
}

TEST(KilledRecording, AWavFilePlaysUpToTheLastWriteOutBeforeTheKill) {
    TemporaryFolder folder;
    const auto path = folder.path() / "killed.wav";
    ChildProcess child({RECORDING_CHILD, "wav", "0", path});
    auto headerLength = [&] {
        std::vector<std::uint8_t> bytes = readFileBytes(path);
        return bytes.size() >= 44 ? le32At(bytes, 40) : 0u;
    };
    ASSERT_TRUE(waitUntil([&] { return headerLength() >= 192000; })) << child.output();
    // Stopped first, so that the file can be looked at while nothing moves. A stop in the
    // middle of a write-out (audio beyond the header's length) lets it finish first.
    std::uint32_t drained = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        ASSERT_TRUE(child.pause());
        drained = headerLength();
        if (drained == sizeOf(path) - 44) break;
        child.resume();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(drained, sizeOf(path) - 44);
    const long pushed = lastPushed(child.output());
    child.sendSignal(SIGKILL);
    ASSERT_EQ(child.wait(10s), 128 + SIGKILL);

    // soxi's count is the header's; sox must decode exactly that many frames from the file.
    auto sox = inspectWithSox(path);
    ASSERT_TRUE(sox.readable) << sox.output;
    EXPECT_EQ(sox.frames * 4, static_cast<std::int64_t>(sizeOf(path) - 44));
    EXPECT_EQ(sox.frames * 4, static_cast<std::int64_t>(drained));
    EXPECT_LE(sox.frames, pushed * kBlockFrames);
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_TRUE(std::equal(bytes.begin() + 44, bytes.end(),
                           stereoTone(1000, 48000, 0, static_cast<int>(sox.frames)).begin()));
}

TEST(KilledRecording, AnMp3FileDecodesUpToItsLastWrittenFrame) {
    if (!lameLoads()) GTEST_SKIP() << "libmp3lame.so.0 cannot be loaded";
    TemporaryFolder folder;
    const auto path = folder.path() / "killed.mp3";
    ChildProcess child({RECORDING_CHILD, "mp3", "0", path});
    // A second at 128 kbit/s.
    ASSERT_TRUE(waitUntil([&] { return sizeOf(path) >= 16000; })) << child.output();
    ASSERT_TRUE(child.pause());
    const long pushed = lastPushed(child.output());
    child.sendSignal(SIGKILL);
    ASSERT_EQ(child.wait(10s), 128 + SIGKILL);

    // At 128 kbit/s and 48000 Hz every frame is 384 bytes (no padding): the file ends with a
    // whole frame, and the first is the place kept for the info tag.
    const std::uintmax_t size = sizeOf(path);
    EXPECT_EQ(size % 384, 0u) << size;
    auto decoded = folder.path() / "decoded.wav";
    EXPECT_EQ(decodeProblems(path, decoded), "");
    auto sox = inspectWithSox(decoded);
    ASSERT_TRUE(sox.readable) << sox.output;
    const double written = static_cast<double>(size / 384 - 1) * 1152;
    EXPECT_GT(sox.frames, 48000);
    EXPECT_NEAR(static_cast<double>(sox.frames), written, 2304);
    // Without the tag nothing trims the encoder's delay, which comes first.
    EXPECT_LE(sox.frames, pushed * kBlockFrames + 2304);
    EXPECT_NEAR(sox.roughFrequency, 1000, 20);
}

}  // namespace
}  // namespace quavelink
