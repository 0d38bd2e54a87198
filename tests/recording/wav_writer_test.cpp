#include "recording/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "audio_files.h"
#include "platform/log.h"
#include "support/temporary_folder.h"

namespace quavelink {
namespace {

using test::TemporaryFolder;
using testing::inspectWithSox;
using testing::le32At;
using testing::readFileBytes;
using testing::stereoTone;

std::vector<std::uint8_t> packaged(std::int32_t value, int width) {
    const std::uint8_t* bytes = PackageInt(value, width);
    return {bytes, bytes + 4};
}

TEST(PackageInt, KeepsTheLowBytesLeastSignificantFirst) {
    EXPECT_EQ(packaged(0x12345678, 2), (std::vector<std::uint8_t>{0x78, 0x56, 0x00, 0x00}));
    EXPECT_EQ(packaged(0x12345678, 4), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(packaged(-1, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    // The previous call's upper bytes must not survive a narrower one.
    EXPECT_EQ(packaged(-1, 2), (std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x00}));
}

TEST(PackageIntDeathTest, AnyOtherWidthEndsTheProcessWithItsLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            setLogObserver([](const std::string& line) { std::fputs(line.c_str(), stderr); });
            PackageInt(7, 3);
        },
        "PackageInt\\(\\): length must be either 2 or 4");
}

class WavFile : public ::testing::Test {
  protected:
    int openNew(const std::string& name) {
        path = folder.path() / name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        return fd;
    }

    // A recording as the record thread makes one: header, audio, patched header.
    void record(int sampleRate, const std::vector<std::uint8_t>& pcm) {
        int fd = openNew("take.wav");
        EXPECT_EQ(writeWavHeader(fd, 0, 2, sampleRate), kWavHeaderBytes);
        if (!pcm.empty()) {
            EXPECT_EQ(::write(fd, pcm.data(), pcm.size()), static_cast<ssize_t>(pcm.size()));
        }
        EXPECT_EQ(finishWavHeader(fd), 8);
        ::close(fd);
    }

    TemporaryFolder folder;
    std::filesystem::path path;
};

TEST_F(WavFile, StoppedBeforeAnyAudioIsAHeaderOnlyFileThatSoxReadsAsEmpty) {
    record(48000, {});
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(le32At(bytes, 4), 36u);
    EXPECT_EQ(le32At(bytes, 40), 0u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
    EXPECT_EQ(std::system(("soxi -s '" + path.string() + "' | grep -qx 0").c_str()), 0);
}

TEST_F(WavFile, OneSecondAt48000HzReadsBackAsTheSameToneAndLength) {
    record(48000, stereoTone(1000, 48000, 0, 48000));
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    ASSERT_EQ(bytes.size(), 192044u);
    EXPECT_EQ(le32At(bytes, 4), 192036u);
    EXPECT_EQ(le32At(bytes, 28), 192000u);
    EXPECT_EQ(le32At(bytes, 40), 192000u);
    auto sox = inspectWithSox(path);
    ASSERT_TRUE(sox.readable) << sox.output;
    EXPECT_EQ(sox.sampleRate, 48000);
    EXPECT_EQ(sox.channels, 2);
    EXPECT_EQ(sox.frames, 48000);
    EXPECT_NEAR(sox.roughFrequency, 1000, 20);
}

TEST_F(WavFile, At44100HzCarriesThatRateAndByteRate) {
    record(44100, stereoTone(440, 44100, 0, 22050));
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_EQ(le32At(bytes, 24), 44100u);
    EXPECT_EQ(le32At(bytes, 28), 176400u);
    auto sox = inspectWithSox(path);
    ASSERT_TRUE(sox.readable) << sox.output;
    EXPECT_EQ(sox.sampleRate, 44100);
    EXPECT_EQ(sox.frames, 22050);
    EXPECT_NEAR(sox.roughFrequency, 440, 10);
}

TEST_F(WavFile, FinishedBelowTheHeaderEndGetsDataLengthZero) {
    int fd = openNew("short.wav");
    ASSERT_EQ(::write(fd, "RIFFxxxxWAVE", 12), 12);
    EXPECT_EQ(finishWavHeader(fd), 8);
    ::close(fd);
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_EQ(le32At(bytes, 4), 36u);
    EXPECT_EQ(le32At(bytes, 40), 0u);
}

class WavLengthLimit : public WavFile {
  protected:
    void SetUp() override {
        setLogObserver([this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        });
    }
    void TearDown() override { setLogObserver(nullptr); }

    std::vector<std::string> lines;
    std::mutex linesMutex;
};

TEST_F(WavLengthLimit, AudioBeyondFourGiBKeepsBothLengthsAtTheirLargestValueAndSaysSo) {
    int fd = openNew("long.wav");
    ASSERT_EQ(writeWavHeader(fd, 0, 2, 48000), kWavHeaderBytes);
    // Six and a half hours at 48000 Hz: 4,492,800,000 bytes, which a 32-bit field would wrap.
    std::int64_t audioBytes = std::int64_t{192000} * 3600 * 13 / 2;
    EXPECT_EQ(finishWavHeaderAt(fd, kWavHeaderBytes + audioBytes), 8);
    ::close(fd);
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_EQ(le32At(bytes, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32At(bytes, 40), 0xFFFFFFFFu);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("4492800000"), std::string::npos) << lines[0];
}

TEST_F(WavLengthLimit, AudioThatJustFitsKeepsItsExactLengthsSilently) {
    int fd = openNew("fits.wav");
    ASSERT_EQ(writeWavHeader(fd, 0, 2, 48000), kWavHeaderBytes);
    std::int64_t audioBytes = 0xFFFFFFFFll - 36;
    EXPECT_EQ(finishWavHeaderAt(fd, kWavHeaderBytes + audioBytes), 8);
    ::close(fd);
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_EQ(le32At(bytes, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32At(bytes, 40), 0xFFFFFFDBu);
    EXPECT_TRUE(lines.empty());
}

TEST_F(WavLengthLimit, AudioJustPastTheRiffLimitClampsTheRiffSizeOnly) {
    int fd = openNew("edge.wav");
    ASSERT_EQ(writeWavHeader(fd, 0, 2, 48000), kWavHeaderBytes);
    std::int64_t audioBytes = 0xFFFFFFFFll - 32;
    EXPECT_EQ(finishWavHeaderAt(fd, kWavHeaderBytes + audioBytes), 8);
    ::close(fd);
    std::vector<std::uint8_t> bytes = readFileBytes(path);
    EXPECT_EQ(le32At(bytes, 4), 0xFFFFFFFFu);
    EXPECT_EQ(le32At(bytes, 40), 0xFFFFFFDFu);
    EXPECT_EQ(lines.size(), 1u);
}

TEST(WavWriterOnFullDevice, ReportsShortCountsForHeaderAndPatch) {
    int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_LT(writeWavHeader(fd, 0, 2, 48000), kWavHeaderBytes);
    EXPECT_NE(finishWavHeader(fd), 8);
    ::close(fd);
}

}  // namespace
}  // namespace quavelink
