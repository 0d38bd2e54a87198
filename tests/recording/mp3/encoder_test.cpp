// Recordings made through the adapter are decoded by mpg123, which honours the info tag's
// delay and padding, and compared with what went in.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "mp3_test_support.h"
#include "recording/mp3/mp3_encoder.h"

namespace quavelink {
namespace {

using test::LogCapture;
using test::RecordedBoxes;
using test::TemporaryFolder;

constexpr int kBlockBytes = 1352;  // one queued record block: 338 stereo frames
constexpr int kFrameSamples = 1152;

std::vector<std::int16_t> stereoTone(int rate, double seconds, double hz = 1000.0) {
    const int frames = static_cast<int>(rate * seconds);
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double value = 16000.0 * std::sin(2.0 * std::numbers::pi * hz * i / rate);
        pcm[2 * i] = pcm[2 * i + 1] = static_cast<std::int16_t>(std::lround(value));
    }
    return pcm;
}

//! Records `pcm` the way the record thread does, in blocks of `blockBytes` (0: all at once).
int record(const std::string& path, int channels, int rate, int kbps,
           const std::vector<std::int16_t>& pcm, int blockBytes = kBlockBytes) {
    RecordedBoxes boxes;
    Mp3Stream stream;
    const int fd = test::openForRecording(path);
    if (fd < 0) return -1;
    int result = stream.openMp3Stream(channels, rate, kbps, boxes);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pcm.data());
    const int total = static_cast<int>(pcm.size() * 2);
    const int step = blockBytes > 0 ? blockBytes : total;
    for (int offset = 0; result == 0 && offset < total; offset += step)
        result = stream.encodeMp3Chunk(fd, bytes + offset, std::min(step, total - offset));
    if (result == 0) result = stream.finishMp3Stream(fd, path.c_str());
    close(fd);
    return result;
}

struct Decoded {
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;
    std::size_t frames() const { return channels ? samples.size() / channels : 0; }
};

std::uint32_t readLe(const std::vector<char>& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

Decoded decodeWithMpg123(const std::string& mp3, const std::string& wav) {
    Decoded out;
    const std::string command = "mpg123 -q -w '" + wav + "' '" + mp3 + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return out;
    std::ifstream file(wav, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id(&bytes[at], 4);
        std::size_t size = readLe(bytes, at + 4, 4);
        if (id == "fmt ") {
            out.channels = static_cast<int>(readLe(bytes, at + 10, 2));
            out.rate = static_cast<int>(readLe(bytes, at + 12, 4));
        } else if (id == "data") {
            size = std::min(size, bytes.size() - at - 8);
            out.samples.resize(size / 2);
            std::memcpy(out.samples.data(), &bytes[at + 8], out.samples.size() * 2);
            break;
        }
        at += 8 + size + (size & 1);
    }
    return out;
}

//! Share of the signal's power in `channel` at `hz`, over one second from half a second in
//! (a whole number of cycles at both rates): 1 for a pure tone at `hz`, near 0 for others.
double powerShareAt(const Decoded& d, int channel, double hz) {
    const std::size_t start = static_cast<std::size_t>(d.rate) / 2;
    const std::size_t count = static_cast<std::size_t>(d.rate);
    if (d.frames() < start + count) return 0.0;
    double re = 0, im = 0, energy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = d.samples[(start + i) * d.channels + channel];
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / d.rate;
        re += x * std::cos(phase);
        im -= x * std::sin(phase);
        energy += x * x;
    }
    return energy > 0 ? 2.0 * (re * re + im * im) / (static_cast<double>(count) * energy) : 0.0;
}

double rms(const Decoded& d, int channel) {
    double sum = 0;
    for (std::size_t i = 0; i < d.frames(); ++i) {
        const double x = d.samples[i * d.channels + channel];
        sum += x * x;
    }
    return d.frames() ? std::sqrt(sum / static_cast<double>(d.frames())) : 0.0;
}

std::string firstBytes(const std::string& path, std::size_t count) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes(count, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

class Mp3EncoderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        RecordedBoxes boxes;
        ASSERT_EQ(loadLameEncoder(boxes), 0) << "libmp3lame.so.0 must be installed";
    }
    TemporaryFolder folder;
};

struct ToneCase {
    int rate;
    int kbps;  // 0 = VBR
};

void PrintTo(const ToneCase& c, std::ostream* out) {
    *out << c.rate << " Hz, " << c.kbps << " kbps";
}

class Mp3ToneRoundTrip : public Mp3EncoderTest, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(Mp3ToneRoundTrip, GivesBackTheSameToneForTheSameTime) {
    const ToneCase c = GetParam();
    const double seconds = 3.0;
    const auto pcm = stereoTone(c.rate, seconds);
    const std::string mp3 = folder.file("tone.mp3");
    ASSERT_EQ(record(mp3, 2, c.rate, c.kbps, pcm), 0);

    const Decoded d = decodeWithMpg123(mp3, folder.file("tone.wav"));
    ASSERT_EQ(d.rate, c.rate);
    ASSERT_EQ(d.channels, 2);
    // The info tag lets the decoder drop the encoder's delay and padding.
    const long inFrames = static_cast<long>(pcm.size() / 2);
    EXPECT_LE(std::labs(static_cast<long>(d.frames()) - inFrames), kFrameSamples);
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_GT(powerShareAt(d, channel, 1000.0), 0.95) << "channel " << channel;
        EXPECT_NEAR(rms(d, channel), 16000.0 / std::sqrt(2.0), 16000.0 * 0.1);
    }

    // A fixed rate writes an "Info" tag and keeps to its bit rate; VBR writes a "Xing" tag.
    const std::string head = firstBytes(mp3, 64);
    const std::string fixedTag(c.kbps == 0 ? "Xing" : "Info");
    EXPECT_NE(head.find(fixedTag), std::string::npos);
    if (c.kbps != 0) {
        const double expected = c.kbps * 1000.0 / 8.0 * seconds;
        EXPECT_NEAR(static_cast<double>(test::fileSize(mp3)), expected, expected * 0.05);
    }
}

INSTANTIATE_TEST_SUITE_P(RatesAndModes, Mp3ToneRoundTrip,
                         ::testing::Values(ToneCase{48000, 192}, ToneCase{44100, 192},
                                           ToneCase{48000, 0}, ToneCase{44100, 0},
                                           ToneCase{48000, 64}, ToneCase{44100, 320}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz_" +
                                    (info.param.kbps ? std::to_string(info.param.kbps) + "kbps"
                                                     : std::string("VBR"));
                         });

TEST_F(Mp3EncoderTest, ABlockLongerThanOneEncoderChunkIsEncodedWhole) {
    const auto pcm = stereoTone(48000, 2.0);
    const std::string mp3 = folder.file("whole.mp3");
    ASSERT_EQ(record(mp3, 2, 48000, 128, pcm, 0), 0);
    const Decoded d = decodeWithMpg123(mp3, folder.file("whole.wav"));
    EXPECT_LE(std::labs(static_cast<long>(d.frames()) - 96000L), kFrameSamples);
    EXPECT_GT(powerShareAt(d, 0, 1000.0), 0.95);
}

TEST_F(Mp3EncoderTest, OddBlockSizesKeepTheChannelsInStep) {
    // Left 1 kHz, right 2 kHz: a block split between a left and a right sample would swap
    // the channels from then on.
    auto pcm = stereoTone(44100, 2.0);
    const auto high = stereoTone(44100, 2.0, 2000.0);
    for (std::size_t i = 1; i < pcm.size(); i += 2) pcm[i] = high[i];
    const std::string mp3 = folder.file("split.mp3");
    ASSERT_EQ(record(mp3, 2, 44100, 192, pcm, 1000), 0);
    const Decoded d = decodeWithMpg123(mp3, folder.file("split.wav"));
    EXPECT_GT(powerShareAt(d, 0, 1000.0), 0.9);
    EXPECT_GT(powerShareAt(d, 1, 2000.0), 0.9);
}

TEST_F(Mp3EncoderTest, OneChannelGivesAMonoFile) {
    std::vector<std::int16_t> mono;
    const auto stereo = stereoTone(48000, 2.0);
    for (std::size_t i = 0; i < stereo.size(); i += 2) mono.push_back(stereo[i]);
    const std::string mp3 = folder.file("mono.mp3");
    ASSERT_EQ(record(mp3, 1, 48000, 128, mono), 0);
    const Decoded d = decodeWithMpg123(mp3, folder.file("mono.wav"));
    ASSERT_EQ(d.channels, 1);
    EXPECT_LE(std::labs(static_cast<long>(d.frames()) - 96000L), kFrameSamples);
    EXPECT_GT(powerShareAt(d, 0, 1000.0), 0.95);
}

TEST_F(Mp3EncoderTest, TwoStreamsOpenAtOnceKeepToTheirOwnFiles) {
    // Two recorders: 1 kHz at 48000 Hz and 2 kHz at 44100 Hz, block by block in turn.
    struct Take {
        int rate;
        double hz;
        std::string path;
        std::vector<std::int16_t> pcm;
        Mp3Stream stream;
        int fd = -1;
    };
    Take takes[2];
    takes[0].rate = 48000;
    takes[0].hz = 1000.0;
    takes[1].rate = 44100;
    takes[1].hz = 2000.0;
    RecordedBoxes boxes;
    for (int i = 0; i < 2; ++i) {
        Take& take = takes[i];
        take.path = folder.file("take" + std::to_string(i) + ".mp3");
        take.pcm = stereoTone(take.rate, 2.0, take.hz);
        take.fd = test::openForRecording(take.path);
        ASSERT_GE(take.fd, 0);
        ASSERT_EQ(take.stream.openMp3Stream(2, take.rate, 128, boxes), 0);
    }
    constexpr std::size_t kBlockSamples = kBlockBytes / 2;
    for (std::size_t offset = 0; offset < takes[0].pcm.size(); offset += kBlockSamples) {
        for (Take& take : takes) {
            if (offset >= take.pcm.size()) continue;
            const std::size_t count = std::min(kBlockSamples, take.pcm.size() - offset);
            ASSERT_EQ(take.stream.encodeMp3Chunk(take.fd, take.pcm.data() + offset,
                                                 static_cast<int>(count * 2)),
                      0);
        }
    }
    for (Take& take : takes) EXPECT_EQ(take.stream.finishMp3Stream(take.fd, take.path.c_str()), 0);
    for (Take& take : takes) {
        close(take.fd);
        SCOPED_TRACE(take.path);
        const Decoded d = decodeWithMpg123(take.path, take.path + ".wav");
        EXPECT_EQ(d.rate, take.rate);
        const long inFrames = static_cast<long>(take.pcm.size() / 2);
        EXPECT_LE(std::labs(static_cast<long>(d.frames()) - inFrames), kFrameSamples);
        EXPECT_GT(powerShareAt(d, 0, take.hz), 0.95);
        EXPECT_NE(firstBytes(take.path, 64).find("Info"), std::string::npos);
    }
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(Mp3EncoderTest, UnsupportedSettingsAreRefusedWithTheOpenErrorAndNothingIsWritten) {
    struct Bad {
        int rate;
        int kbps;
    };
    for (const Bad bad : {Bad{22050, 128}, Bad{96000, 128}, Bad{0, 128}, Bad{-48000, 128},
                          Bad{48000, 100}, Bad{48000, 1000}, Bad{48000, -64}}) {
        SCOPED_TRACE(std::to_string(bad.rate) + " Hz, " + std::to_string(bad.kbps) + " kbps");
        RecordedBoxes boxes;
        LogCapture log;
        Mp3Stream stream;
        EXPECT_EQ(stream.openMp3Stream(2, bad.rate, bad.kbps, boxes), -1);
        EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Error opening encoding stream"});
        EXPECT_EQ(log.text(), "Error opening encoding stream (2)\n");

        // A caller that goes on anyway gets failures, not a crash.
        const std::string path = folder.file("bad.mp3");
        const int fd = test::openForRecording(path);
        const auto pcm = stereoTone(48000, 0.1);
        EXPECT_EQ(stream.encodeMp3Chunk(fd, pcm.data(), kBlockBytes), -1);
        EXPECT_EQ(stream.finishMp3Stream(fd, path.c_str()), -1);
        close(fd);
        EXPECT_EQ(test::fileSize(path), 0);
    }
}

TEST_F(Mp3EncoderTest, WriteFailuresAreReported) {
    RecordedBoxes boxes;
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const auto pcm = stereoTone(48000, 1.0);
    Mp3Stream stream;
    ASSERT_EQ(stream.openMp3Stream(2, 48000, 128, boxes), 0);
    LogCapture log;
    int result = 0;
    for (std::size_t offset = 0; result == 0 && offset + 676 <= pcm.size(); offset += 676)
        result = stream.encodeMp3Chunk(full, pcm.data() + offset, kBlockBytes);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(log.text(), "Output file write error\n");
    EXPECT_EQ(stream.finishMp3Stream(full, "/dev/full"), -1);
    close(full);
}

BE_CONFIG lameConfig(std::uint32_t rate, std::uint32_t kbps) {
    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwConfig = BE_CONFIG_LAME;
    config.format.LHV1.dwStructVersion = CURRENT_STRUCT_VERSION;
    config.format.LHV1.dwStructSize = CURRENT_STRUCT_SIZE;
    config.format.LHV1.dwSampleRate = rate;
    config.format.LHV1.nMode = BE_MP3_MODE_JSTEREO;
    config.format.LHV1.dwBitrate = kbps;
    config.format.LHV1.nPreset = LQP_NOPRESET;
    config.format.LHV1.dwMpegVersion = MPEG1;
    config.format.LHV1.bWriteVBRHeader = 1;
    return config;
}

TEST_F(Mp3EncoderTest, StreamCallsRefuseBadInputWithoutTouchingMemory) {
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    BE_CONFIG config = lameConfig(48000, 128);
    EXPECT_EQ(beInitStream(nullptr, &samples, &bufferSize, &stream),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    config.format.LHV1.nMode = 7;
    EXPECT_EQ(beInitStream(&config, &samples, &bufferSize, &stream),
              BE_ERR_INVALID_FORMAT_PARAMETERS);

    std::uint8_t out[16];
    std::uint32_t produced = 0;
    EXPECT_EQ(beEncodeChunk(12345, 0, nullptr, out, &produced), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beWriteInfoTag(12345, "/nonexistent"), BE_ERR_INVALID_HANDLE);

    config = lameConfig(48000, 128);
    ASSERT_EQ(beInitStream(&config, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(samples, 2u * kFrameSamples);
    std::vector<std::uint8_t> buffer(bufferSize);
    std::vector<std::int16_t> tooMuch(samples + 2);
    EXPECT_EQ(beEncodeChunk(stream, samples + 2, tooMuch.data(), buffer.data(), &produced),
              BE_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(beCloseStream(stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(beCloseStream(stream), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beEncodeChunk(stream, 0, nullptr, buffer.data(), &produced), BE_ERR_INVALID_HANDLE);
}

//! Encodes `pcm` into `path` with the stream calls alone and closes the stream; its handle
//! stays valid for the info tag.
HBE_STREAM encodeWithStreamCalls(BE_CONFIG config, const std::string& path,
                                 const std::vector<std::int16_t>& pcm) {
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    if (beInitStream(&config, &samples, &bufferSize, &stream) != BE_ERR_SUCCESSFUL) return 0;
    const int fd = test::openForRecording(path);
    std::vector<std::uint8_t> buffer(bufferSize);
    std::uint32_t produced = 0;
    bool ok = fd >= 0;
    for (std::size_t at = 0; ok && at < pcm.size(); at += samples) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::size_t>(samples, pcm.size() - at));
        ok = beEncodeChunk(stream, count, pcm.data() + at, buffer.data(), &produced) ==
                 BE_ERR_SUCCESSFUL &&
             write(fd, buffer.data(), produced) == static_cast<ssize_t>(produced);
    }
    ok = ok && beDeinitStream(stream, buffer.data(), &produced) == BE_ERR_SUCCESSFUL &&
         write(fd, buffer.data(), produced) == static_cast<ssize_t>(produced);
    if (fd >= 0) close(fd);
    beCloseStream(stream);
    return ok ? stream : 0;
}

TEST_F(Mp3EncoderTest, VbrHeaderByPathTagsTheLastClosedStreamAndSparesForeignFiles) {
    BE_CONFIG config = lameConfig(48000, 160);
    config.format.LHV1.bEnableVBR = 1;
    config.format.LHV1.nPreset = LQP_R3MIX;
    const std::string mp3 = folder.file("header.mp3");
    const HBE_STREAM stream = encodeWithStreamCalls(config, mp3, stereoTone(48000, 2.0));
    ASSERT_NE(stream, 0u);

    // A file that does not start with the reserved frame is left as it is.
    const std::string foreign = folder.file("notes.txt");
    std::ofstream(foreign) << std::string(4000, 'x');
    EXPECT_EQ(beWriteInfoTag(stream, foreign.c_str()), BE_ERR_INVALID_FORMAT);
    EXPECT_EQ(firstBytes(foreign, 4000), std::string(4000, 'x'));

    // That attempt released the closed stream, so there is nothing left to tag.
    EXPECT_EQ(beWriteVBRHeader(mp3.c_str()), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(firstBytes(mp3, 64).find("Xing"), std::string::npos);
}

TEST_F(Mp3EncoderTest, VbrHeaderByPathGivesTheDecoderTheTrueLength) {
    const std::string mp3 = folder.file("bypath.mp3");
    ASSERT_NE(encodeWithStreamCalls(lameConfig(44100, 192), mp3, stereoTone(44100, 2.0)), 0u);

    const Decoded untagged = decodeWithMpg123(mp3, folder.file("untagged.wav"));
    EXPECT_GT(untagged.frames(), 88200u + kFrameSamples) << "the tag should make a difference";

    EXPECT_EQ(beWriteVBRHeader(mp3.c_str()), BE_ERR_SUCCESSFUL);
    const Decoded d = decodeWithMpg123(mp3, folder.file("bypath.wav"));
    EXPECT_LE(std::labs(static_cast<long>(d.frames()) - 88200L), kFrameSamples);
    EXPECT_GT(powerShareAt(d, 0, 1000.0), 0.95);
}

}  // namespace
}  // namespace quavelink
