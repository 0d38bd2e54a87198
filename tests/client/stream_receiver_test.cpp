#include "client/network/stream_receiver.h"

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "server/wire_format.h"
#include "tone.h"

namespace quavelink {
namespace {

struct Collected {
    std::vector<std::int16_t> samples;
    std::vector<int> rates;
    std::vector<std::string> notices;
};

struct Fixture {
    Collected got;
    StreamReceiver receiver{[this](const std::int16_t* s, std::size_t frames, int rate) {
                                got.samples.insert(got.samples.end(), s, s + frames * 2);
                                got.rates.push_back(rate);
                            },
                            [this](const std::string& text) { got.notices.push_back(text); }};

    void send(std::uint32_t block, std::uint32_t flags, const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> message(kMessageHeaderSize);
        writeMessageHeader({MSG_AUDIO, block, flags, 0}, message.data());
        message.insert(message.end(), payload.begin(), payload.end());
        receiver.handleMessage(message.data(), message.size());
    }
};

// Interleaved stereo PCM of a 1000 Hz tone starting at `frame`, as little-endian bytes.
std::vector<std::uint8_t> tonePcm(long frame, int frames, int rate = 48000) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < frames; ++i) {
        auto v = static_cast<std::int16_t>(
            std::lround(12000 * std::sin(2 * std::numbers::pi * 1000 * (frame + i) / rate)));
        for (int channel = 0; channel < 2; ++channel) {
            bytes.push_back(static_cast<std::uint8_t>(v));
            bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
        }
    }
    return bytes;
}

std::vector<float> leftOf(const std::vector<std::int16_t>& samples, std::size_t fromFrame = 0) {
    std::vector<float> left;
    for (std::size_t i = 2 * fromFrame; i < samples.size(); i += 2)
        left.push_back(samples[i] / 32768.f);
    return left;
}

TEST(StreamReceiver, PlainBlocksPassUntouchedAndLostOnesBecomeSilence) {
    Fixture f;
    const std::uint32_t flags = FLAG_RELIABLE | FLAG_RATE_48K;
    f.send(10, flags, tonePcm(0, kPlainBlockFrames));
    f.send(11, flags, tonePcm(338, kPlainBlockFrames));
    auto last = tonePcm(4 * 338, kPlainBlockFrames);
    f.send(14, flags, last);

    const auto& stats = f.receiver.stats();
    EXPECT_EQ(stats.received, 3u);
    EXPECT_EQ(stats.lost, 2u);
    EXPECT_EQ(stats.sampleRate, 48000);
    EXPECT_TRUE(stats.reliable);
    // The timeline holds: two blocks of silence stand where the lost ones were.
    ASSERT_EQ(f.got.samples.size(), 5u * kPlainBlockFrames * 2);
    auto gap = f.got.samples.begin() + 2 * 2 * kPlainBlockFrames;
    EXPECT_TRUE(std::all_of(gap, gap + 2 * 2 * kPlainBlockFrames, [](auto s) { return s == 0; }));
    auto lastStart = f.got.samples.end() - 2 * kPlainBlockFrames;
    for (int i = 0; i < 2 * kPlainBlockFrames; ++i) {
        auto expected = static_cast<std::int16_t>(last[2 * i] | last[2 * i + 1] << 8);
        ASSERT_EQ(lastStart[i], expected) << i;
    }
}

TEST(StreamReceiver, LostOpusBlocksAreConcealedSoTheToneGoesOn) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
    ASSERT_EQ(error, OPUS_OK);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(128000));
    Fixture f;
    const std::uint32_t flags = audioMessageFlags(false, true, 2);
    const int blocks = 60;
    for (int b = 0; b < blocks; ++b) {
        auto pcm = tonePcm(static_cast<long>(b) * 480, 480);
        std::vector<std::uint8_t> packet(kMaxOpusPacketBytes);
        int n = opus_encode(encoder, reinterpret_cast<const opus_int16*>(pcm.data()), 480,
                            packet.data(), kMaxOpusPacketBytes);
        ASSERT_GT(n, 0);
        packet.resize(n);
        if (b == 40 || b == 41) continue;  // lost on the way
        f.send(static_cast<std::uint32_t>(b), flags, packet);
    }
    opus_encoder_destroy(encoder);

    const auto& stats = f.receiver.stats();
    EXPECT_EQ(stats.received, static_cast<std::uint64_t>(blocks - 2));
    EXPECT_EQ(stats.lost, 2u);
    EXPECT_EQ(stats.concealedFrames, 2u * 480);
    EXPECT_FALSE(stats.reliable);
    EXPECT_EQ(stats.rateCode, 2);
    ASSERT_EQ(f.got.samples.size(), static_cast<std::size_t>(blocks) * 480 * 2);
    // Concealment carries the tone across the gap instead of dropping to silence.
    std::vector<std::int16_t> gap(f.got.samples.begin() + 40 * 480 * 2,
                                  f.got.samples.begin() + 42 * 480 * 2);
    EXPECT_GT(test::toneShare(leftOf(gap), 1000, 48000), 0.5);
    EXPECT_GT(test::toneShare(leftOf(f.got.samples, 4800), 1000, 48000), 0.9);
}

TEST(StreamReceiver, UnencodedFallbackAt44100IsPlayedAsItCame) {
    Fixture f;
    auto pcm = tonePcm(0, kOpusBlockFrames, 44100);
    f.send(0, audioMessageFlags(true, false, 3), pcm);
    EXPECT_EQ(f.receiver.stats().invalid, 0u);
    ASSERT_EQ(f.got.rates, std::vector<int>{44100});
    ASSERT_EQ(f.got.samples.size(), 480u * 2);
    EXPECT_EQ(f.got.samples[2], static_cast<std::int16_t>(pcm[4] | pcm[5] << 8));
}

TEST(StreamReceiver, ANewStreamOrRestartedNumberingIsNoLoss) {
    Fixture f;
    f.send(9000, FLAG_RATE_48K, tonePcm(0, kPlainBlockFrames));
    f.send(9001, FLAG_RATE_48K, tonePcm(0, kPlainBlockFrames));
    // Switching to a compressed rate code: the other stream's numbers are unrelated.
    f.send(3, FLAG_RATE_48K | 0x80, tonePcm(0, kOpusBlockFrames));
    // The server's capture changed rate: a new stream too.
    f.send(4000, 0x80, tonePcm(0, kOpusBlockFrames));
    EXPECT_EQ(f.receiver.stats().lost, 0u);
    EXPECT_TRUE(f.got.notices.empty());
    // A server that came back counts from 0 again on the same stream.
    f.send(0, 0x80, tonePcm(0, kOpusBlockFrames));
    EXPECT_EQ(f.receiver.stats().lost, 0u);
    EXPECT_EQ(f.receiver.stats().restarts, 1u);
    EXPECT_EQ(f.got.notices.size(), 1u);
    EXPECT_EQ(f.got.rates.back(), 44100);
}

TEST(StreamReceiver, MalformedMessagesAreCountedAndNeverReadPastTheirEnd) {
    Fixture f;
    std::uint8_t tiny[3] = {0, 0, 0};
    f.receiver.handleMessage(tiny, sizeof tiny);
    f.receiver.handleMessage(nullptr, 0);
    std::vector<std::uint8_t> other(kMessageHeaderSize + 8);
    writeMessageHeader({MSG_FASTER, 0, 0, 0}, other.data());
    f.receiver.handleMessage(other.data(), other.size());
    EXPECT_EQ(f.receiver.stats().invalid, 3u);
    EXPECT_TRUE(f.got.samples.empty());

    // Audio that cannot be decoded keeps its place in time as concealment.
    f.send(0, FLAG_RATE_48K, tonePcm(0, kPlainBlockFrames));
    f.send(1, FLAG_RATE_48K, std::vector<std::uint8_t>(5, 0x7f));            // not whole frames
    f.send(2, FLAG_RATE_48K | 0x40, std::vector<std::uint8_t>(1500, 0xff));  // too long for Opus
    f.send(3, FLAG_RATE_48K | 0x40, std::vector<std::uint8_t>{0xff, 0xff, 0xff});  // bad packet
    f.send(4, FLAG_RATE_48K, {});                                                  // header only
    EXPECT_EQ(f.receiver.stats().invalid, 7u);
    EXPECT_EQ(f.receiver.stats().received, 5u);
    EXPECT_GE(f.got.samples.size(), 2u * kPlainBlockFrames * 2);
}

}  // namespace
}  // namespace quavelink
