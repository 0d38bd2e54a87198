#include "client/wav_recorder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "temporary_folder.h"

namespace quavelink {
namespace {

TEST(WavRecorder, LaterFilesTakeTheirNumberAndRateBeforeTheExtension) {
    EXPECT_EQ(wavPathForRate("take.wav", 48000, 0), "take.wav");
    EXPECT_EQ(wavPathForRate("take.wav", 44100, 1), "take-2-44100.wav");
    EXPECT_EQ(wavPathForRate("/tmp/a.b/take", 48000, 2), "/tmp/a.b/take-3-48000");
}

// A file that cannot be written for now (a FIFO nobody reads: the open itself waits, as on a
// stuck disk): pushes never wait, what does not fit is counted and told, and once the file can
// be written what was kept goes into it.
TEST(WavRecorder, AStuckFileNeverHoldsUpThePushesAndTellsWhatItLost) {
    test::TemporaryFolder folder("quavelink-wav-recorder");
    const std::string path = folder.file("take.wav");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::atomic<int> told{0};
    std::string line;
    WavRecorder recorder(path, [&](const std::string& text) {
        line = text;
        ++told;
    });
    std::vector<std::int16_t> block(480 * 2, 100);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) recorder.push(block.data(), 480, 48000);  // 30 s
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_GT(recorder.lostFrames(), 0u);

    std::uint64_t read = 0;
    std::thread reader([&] {
        std::ifstream fifo(path, std::ios::binary);
        char chunk[65536];
        while (fifo.read(chunk, sizeof chunk) || fifo.gcount() > 0) {
            read += static_cast<std::uint64_t>(fifo.gcount());
        }
    });
    recorder.finish();
    reader.join();
    EXPECT_EQ(told.load(), 1);
    EXPECT_NE(line.find("the disk did not keep up"), std::string::npos) << line;
    EXPECT_EQ(read, 44 + (3000 * 480 - recorder.lostFrames()) * 4);
}

}  // namespace
}  // namespace quavelink
