#include "client/wav_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/temporary_folder.h"

namespace quavelink {
namespace {

std::uint32_t read32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST(WavFile, HeaderTellsRateAndLengthOfWhatWasWritten) {
    test::TemporaryFolder folder("quavelink-wav");
    const std::string path = folder.file("take.wav");
    {
        WavFile wav;
        std::string error;
        ASSERT_TRUE(wav.open(path, 44100, error)) << error;
        std::vector<std::int16_t> samples(3000 * 2);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::int16_t>(i - 3000);
        ASSERT_TRUE(wav.write(samples.data(), 1000, error));
        ASSERT_TRUE(wav.write(samples.data() + 2000, 2000, error));
    }  // closed by its destructor, as after a signal-free quit
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 44u + 3000 * 4);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(read32(bytes, 4), 36u + 3000 * 4);
    EXPECT_EQ(read32(bytes, 24), 44100u);
    EXPECT_EQ(read32(bytes, 28), 44100u * 4);
    EXPECT_EQ(read32(bytes, 40), 3000u * 4);
    // Samples are little-endian and in order: -3000 first.
    EXPECT_EQ(static_cast<std::int16_t>(bytes[44] | bytes[45] << 8), -3000);
    EXPECT_EQ(static_cast<std::int16_t>(bytes[44 + 4 * 2999 + 2] | bytes[44 + 4 * 2999 + 3] << 8),
              2999);
}

TEST(WavFile, ACreateFailureIsReportedNotHidden) {
    WavFile wav;
    std::string error;
    EXPECT_FALSE(wav.open("/nonexistent-dir/x.wav", 48000, error));
    EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos);
    std::int16_t frame[2] = {1, 2};
    EXPECT_FALSE(wav.write(frame, 1, error));
}

}  // namespace
}  // namespace quavelink
