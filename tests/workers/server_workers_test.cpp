#include "workers/server_workers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "capture/capture_fixture.h"
#include "server/wire_format.h"
#include "support/fake_server_window.h"
#include "support/temporary_folder.h"
#include "support/test_client.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

// Waits up to 10 s for `condition`.
bool waitUntil(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Counts the uncompressed blocks on their way to the streaming core.
class CountingTap : public AudioBlockSink {
  public:
    void processAudioBlock(std::uint8_t*, int length) override {
        if (length == kPlainBlockLength) ++plainBlocks;
    }
    std::atomic<int> plainBlocks{0};
};

class ServerWorkersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QUAVELINK_SERVER_NOSILENCE", "1", 1);
        ::setenv("QUAVELINK_SERVER_PORT", std::to_string(freeUdpPort()).c_str(), 1);
        system.addDevice(renderDevice("speakers"));
        system.setDefault(audio::DataFlow::Render, "speakers");
    }
    void TearDown() override {
        ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
        ::unsetenv("QUAVELINK_SERVER_PORT");
    }

    // Starts every thread with the default device chosen and waits until it captures.
    void startCapturing() {
        window.choice.choose(0);
        ASSERT_TRUE(workers->startServer());
        ASSERT_TRUE(workers->startDiscovery());
        ASSERT_TRUE(workers->startRecorder());
        ASSERT_TRUE(waitUntil([&] { return system.count("Start:speakers") == 1; }));
    }

    // Stops the workers on another thread, so that a stop that hangs fails the test.
    bool stopsInTime() {
        auto stopped = std::async(std::launch::async, [&] { workers->stop(); });
        return stopped.wait_for(20s) == std::future_status::ready;
    }

    FakeAudioSystem system;
    ChannelSelection channels;
    EndpointList endpoints{system};
    FakeServerWindow window;
    CountingTap tap;
    std::unique_ptr<ServerWorkers> workers = std::make_unique<ServerWorkers>(
        endpoints, channels, window, Warn48kSetting{.shownBefore = true, .recordShown = {}}, &tap);
};

TEST_F(ServerWorkersTest, StopFinishesTheRecordingAndLeavesNoCaptureRunning) {
    startCapturing();
    TemporaryFolder folder("quavelink-workers-test");
    const std::string path = folder.file("take.wav");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_NE(fd, -1);
    workers->recorder().setRecordTarget(path, fd, 48000, false, 0);
    // Every block the core gets from now on is recorded, and perhaps the one on its way now.
    const int blocksBefore = tap.plainBlocks;
    constexpr int kBlocks = 20;
    system.pushFrames("speakers", kBlocks * kPlainBlockFrames, 0.25f);
    constexpr std::size_t kBlockBytes = kPlainBlockFrames * 4;
    ASSERT_TRUE(waitUntil([&] { return readBytes(path).size() >= 44 + kBlocks * kBlockBytes; }));

    // Silence follows the tone; the stop comes while blocks wait in the record queue.
    auto blocksInFile = [&] {
        return static_cast<int>((readBytes(path).size() - 44) / kBlockBytes);
    };
    ASSERT_TRUE(waitUntil([&] { return tap.plainBlocks - blocksBefore >= blocksInFile() + 2; }));
    ASSERT_TRUE(stopsInTime());
    ::close(fd);
    const int captured = tap.plainBlocks - blocksBefore;
    std::vector<std::uint8_t> wav = readBytes(path);
    ASSERT_EQ((wav.size() - 44) % kBlockBytes, 0u);
    const int recorded = static_cast<int>((wav.size() - 44) / kBlockBytes);
    EXPECT_GE(recorded, captured);
    EXPECT_LE(recorded, captured + 1);
    EXPECT_EQ(le32At(wav, 4), wav.size() - 8);
    EXPECT_EQ(le32At(wav, 40), wav.size() - 44);
    // Every stream the capture started (a gap restarts it) is stopped.
    const int starts = system.count("Start:speakers");
    EXPECT_EQ(system.count("Stop:speakers"), starts);
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());

    // Again, and then torn down: nothing runs that could still reach what is destroyed.
    ASSERT_TRUE(stopsInTime());
    workers.reset();
    EXPECT_EQ(system.count("Start:speakers"), starts);
    EXPECT_EQ(readBytes(path), wav);
}

// The capture's device went away: the server thread keeps trying it again with growing
// pauses, and the stop must neither wait those out nor leave a capture that a try started.
TEST_F(ServerWorkersTest, StopWhileTheCaptureIsTriedAgain) {
    startCapturing();
    system.removeDevice("speakers");
    ASSERT_TRUE(waitUntil([&] {
        for (const std::string& reason : window.read(&FakeServerWindow::captureStatuses)) {
            if (!reason.empty()) return true;
        }
        return false;
    }));
    // Back, so that any try after the stop would find it and capture.
    system.restoreDevice("speakers");
    ASSERT_TRUE(stopsInTime());
    EXPECT_EQ(system.count("Start:speakers"), system.count("Stop:speakers"));
    const std::vector<std::string> afterStop = system.calls();
    workers.reset();
    EXPECT_EQ(system.calls(), afterStop);
}

TEST_F(ServerWorkersTest, StopBeforeAnyStartIsHarmless) {
    ASSERT_TRUE(stopsInTime());
    workers.reset();
    EXPECT_EQ(system.count("Activate:speakers"), 0);
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

}  // namespace
}  // namespace quavelink::test
