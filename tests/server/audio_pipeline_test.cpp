#include <enet/enet.h>
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>

#include "server/meter_scale.h"
#include "server_harness.h"

namespace quavelink::test {
namespace {

std::vector<float> decodeOpus(const std::vector<ReceivedMessage>& messages) {
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    EXPECT_EQ(error, OPUS_OK);
    std::vector<float> left;
    std::vector<opus_int16> pcm(kOpusBlockFrames * 2);
    for (const ReceivedMessage& message : messages) {
        int frames = opus_decode(decoder, message.payload.data(),
                                 static_cast<opus_int32>(message.payload.size()), pcm.data(),
                                 kOpusBlockFrames, 0);
        EXPECT_EQ(frames, kOpusBlockFrames);
        for (int i = 0; i < frames; ++i) left.push_back(pcm[2 * i] / 32768.0f);
    }
    opus_decoder_destroy(decoder);
    return left;
}

void expectConsecutiveBlockNumbers(const std::vector<ReceivedMessage>& messages) {
    for (std::size_t i = 1; i < messages.size(); ++i) {
        ASSERT_EQ(messages[i].header.blockNumber, messages[i - 1].header.blockNumber + 1) << i;
    }
}

TEST(AudioPipeline, ReliablePcmClientGetsEveryPlainBlockInOrder) {
    ServerHarness harness;
    auto client = harness.connect(1);
    client->sendDataRequest(FLAG_RELIABLE, "kitchen");
    ASSERT_TRUE(
        harness.stepUntil({client.get()}, [&] { return client->messages().size() >= 200; }));

    const auto& messages = client->messages();
    for (const ReceivedMessage& m : messages) {
        ASSERT_EQ(m.header.messageId, MSG_AUDIO);
        ASSERT_EQ(m.payload.size(), 1352u);
        ASSERT_EQ(m.header.flags, FLAG_RELIABLE | FLAG_RATE_48K);
        ASSERT_EQ(m.header.reserved, 0u);
        ASSERT_TRUE(m.reliable);
    }
    expectConsecutiveBlockNumbers(messages);
    // The audio is the tone that went in, untouched.
    std::vector<float> left;
    for (const ReceivedMessage& m : messages) {
        auto samples = leftChannel(m.payload.data(), m.payload.size());
        left.insert(left.end(), samples.begin(), samples.end());
    }
    EXPECT_GT(toneShare(left, 1000, 48000), 0.99);
}

class OpusRateCode : public ::testing::TestWithParam<int> {};

TEST_P(OpusRateCode, CarriesTheToneAndItsFlags) {
    const int rateCode = GetParam();
    ServerHarness harness;
    auto client = harness.connect(1);
    std::uint32_t flags = static_cast<std::uint32_t>(rateCode) << kRateCodeShift;
    client->sendDataRequest(flags, "opus");
    ASSERT_TRUE(
        harness.stepUntil({client.get()}, [&] { return client->messages().size() >= 100; }));

    const auto& messages = client->messages();
    for (const ReceivedMessage& m : messages) {
        ASSERT_EQ(m.header.flags, audioMessageFlags(false, true, rateCode));
        ASSERT_LE(m.payload.size(), static_cast<std::size_t>(kMaxOpusPacketBytes));
        ASSERT_FALSE(m.reliable);
    }
    expectConsecutiveBlockNumbers(messages);
    std::vector<float> decoded = decodeOpus(messages);
    // Skip the encoder's start-up before judging the tone.
    std::vector<float> settled(decoded.begin() + 4800, decoded.end());
    EXPECT_GT(toneShare(settled, 1000, 48000), 0.95);

    // Higher rate codes spend more bytes on the same audio.
    std::size_t total = 0;
    for (const ReceivedMessage& m : messages) total += m.payload.size();
    double kbps = total * 8.0 / (messages.size() * 0.010) / 1000.0;
    EXPECT_GT(kbps, OpusEncoders::kBitRates[rateCode] / 1000.0 * 0.5);
    EXPECT_LT(kbps, OpusEncoders::kBitRates[rateCode] / 1000.0 * 1.5);
}

INSTANTIATE_TEST_SUITE_P(RateCodes, OpusRateCode, ::testing::Values(1, 2, 3));

TEST(AudioPipeline, EachStreamGoesOnlyToItsOwnClients) {
    ServerHarness harness;
    auto pcm = harness.connect(1 | CONNECT_FLAG_SHARED);
    auto opusA = harness.connect(1 | CONNECT_FLAG_SHARED);
    auto opusB = harness.connect(1 | CONNECT_FLAG_SHARED);
    pcm->sendDataRequest(0, "pcm");
    opusA->sendDataRequest(FLAG_RELIABLE | (2u << kRateCodeShift), "a");
    opusB->sendDataRequest(2u << kRateCodeShift, "b");
    ASSERT_TRUE(harness.stepUntil({pcm.get(), opusA.get(), opusB.get()}, [&] {
        return pcm->messages().size() >= 142 && opusA->messages().size() >= 100 &&
               opusB->messages().size() >= 100;
    }));

    for (const ReceivedMessage& m : pcm->messages()) ASSERT_EQ(m.payload.size(), 1352u);
    for (const ReceivedMessage& m : opusA->messages()) ASSERT_LT(m.payload.size(), 1352u);
    // The two rate-code-2 clients share one encoding: the same block carries the same packet,
    // each under a header with its own delivery bit.
    auto& a = opusA->messages();
    auto& b = opusB->messages();
    int compared = 0;
    for (const ReceivedMessage& ma : a) {
        for (const ReceivedMessage& mb : b) {
            if (ma.header.blockNumber != mb.header.blockNumber) continue;
            EXPECT_EQ(ma.payload, mb.payload);
            EXPECT_EQ(ma.header.flags & FLAG_RELIABLE, FLAG_RELIABLE);
            EXPECT_EQ(mb.header.flags & FLAG_RELIABLE, 0u);
            ++compared;
        }
    }
    EXPECT_GT(compared, 50);
    // Both streams run at their own pace: about 142 plain blocks to 100 compressed ones.
    double ratio = static_cast<double>(pcm->messages().back().header.blockNumber) /
                   a.back().header.blockNumber;
    EXPECT_NEAR(ratio, 480.0 / 338.0, 0.05);
}

TEST(AudioPipeline, CountersMeterAndRecorderRunWithoutClients) {
    ServerHarness harness;
    harness.recorder.recording = true;
    for (int i = 0; i < 242; ++i) harness.step({});
    EXPECT_EQ(harness.server.plainBlockCounter() + harness.server.opusBlockCounter(), 242u);
    EXPECT_GE(harness.server.plainBlockCounter(), 141u);

    // Every plain block is recorded and metered, and nothing else is.
    ASSERT_EQ(harness.recorder.blocks.size(), harness.server.plainBlockCounter());
    ToneBlocks replay(1000.0, 48000);
    std::vector<std::uint8_t> first = replay.next();
    EXPECT_EQ(harness.recorder.blocks[0],
              std::vector<std::uint8_t>(first.begin() + 16, first.end()));
    auto meter = harness.window.read(&FakeServerWindow::meterCalls);
    ASSERT_EQ(meter.size(), harness.server.plainBlockCounter());
    EXPECT_EQ(meter[0].first, 0);
    ASSERT_EQ(meter[0].values.size(), 2u);
}

TEST(AudioPipeline, MeterReadsTheFirstFrameOnTheLogScale) {
    ServerHarness harness;
    std::vector<std::uint8_t> block(kPlainBlockLength, 0);
    block[16] = 0x00;  // left = -32768
    block[17] = 0x80;
    block[18] = 0xB8;  // right = 3000
    block[19] = 0x0B;
    harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
    auto meter = harness.window.read(&FakeServerWindow::meterCalls);
    ASSERT_EQ(meter.size(), 1u);
    EXPECT_EQ(meter[0].values, (std::vector<int>{meterLevel(32768), 8636}));
}

TEST(AudioPipeline, AFullRecordQueueLosesOnlyThatBlock) {
    ServerHarness harness;
    harness.recorder.recording = true;
    harness.recorder.capacity = 3;
    for (int i = 0; i < 20; ++i) harness.step({});
    EXPECT_EQ(harness.recorder.blocks.size(), 3u);
}

TEST(AudioPipeline, ShortBlocksSendNothingButStillServiceTheHost) {
    ServerHarness harness;
    auto client = harness.connect(1);
    client->sendDataRequest(0, "x");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return !client->messages().empty(); }));
    std::uint32_t plainBefore = harness.server.plainBlockCounter();
    std::size_t meterBefore = harness.window.read(&FakeServerWindow::meterCalls).size();
    harness.recorder.recording = true;

    std::uint8_t tiny[15] = {};
    for (int len : {0, 1, 15}) harness.server.processAudioBlock(tiny, len);
    // A header with no whole frame after it is sent, but neither metered nor recorded.
    std::uint8_t headerOnly[18] = {};
    harness.server.processAudioBlock(headerOnly, 16);
    harness.server.processAudioBlock(headerOnly, 18);

    // The host is still serviced on blocks too short to send: a new client gets in on them.
    auto second = std::make_unique<TestClient>(harness.port, 1 | CONNECT_FLAG_SHARED);
    for (int i = 0; i < 500 && harness.server.sessions().connectedCount() < 2; ++i) {
        harness.server.processAudioBlock(tiny, 0);
        second->service(0);
    }
    EXPECT_EQ(harness.server.sessions().connectedCount(), 2);
    EXPECT_EQ(harness.server.plainBlockCounter(), plainBefore + 2);
    EXPECT_EQ(harness.window.read(&FakeServerWindow::meterCalls).size(), meterBefore + 1);
    ASSERT_EQ(harness.recorder.blocks.size(), 1u);
    EXPECT_EQ(harness.recorder.blocks[0].size(), 2u);
}

TEST(AudioPipeline, At44100TheRateBitIsClearAndOpusStillWorks) {
    ServerHarness harness;
    harness.server.streamIs48k = false;
    harness.tone = ToneBlocks(1000.0, 44100);
    auto pcm = harness.connect(1 | CONNECT_FLAG_SHARED);
    auto opus = harness.connect(1 | CONNECT_FLAG_SHARED);
    pcm->sendDataRequest(FLAG_RELIABLE, "pcm");
    opus->sendDataRequest(FLAG_RELIABLE | (3u << kRateCodeShift), "opus");
    ASSERT_TRUE(harness.stepUntil({pcm.get(), opus.get()}, [&] {
        return pcm->messages().size() >= 50 && opus->messages().size() >= 50;
    }));
    for (const ReceivedMessage& m : pcm->messages()) ASSERT_EQ(m.header.flags, FLAG_RELIABLE);
    for (const ReceivedMessage& m : opus->messages()) {
        ASSERT_EQ(m.header.flags, audioMessageFlags(true, false, 3));
    }
    std::vector<float> decoded = decodeOpus(opus->messages());
    std::vector<float> settled(decoded.begin() + 4800, decoded.end());
    // The 48 kHz encoder plays 44.1 kHz audio a little fast: 1000 Hz comes out near 1088 Hz.
    EXPECT_GT(toneShare(settled, 1000.0 * 48000 / 44100, 48000), 0.9);
}

TEST(AudioPipeline, ARateCodeWithoutEncoderGetsTheBlockUnencoded) {
    ServerHarness harness([](int rateCode, int& error) -> OpusEncoder* {
        if (rateCode == 2) {
            error = OPUS_ALLOC_FAIL;
            return nullptr;
        }
        return OpusEncoders::createDefault(rateCode, error);
    });
    auto two = harness.connect(1 | CONNECT_FLAG_SHARED);
    auto three = harness.connect(1 | CONNECT_FLAG_SHARED);
    two->sendDataRequest(FLAG_RELIABLE | (2u << kRateCodeShift), "two");
    three->sendDataRequest(FLAG_RELIABLE | (3u << kRateCodeShift), "three");
    ASSERT_TRUE(harness.stepUntil({two.get(), three.get()}, [&] {
        return two->messages().size() >= 20 && three->messages().size() >= 20;
    }));
    for (const ReceivedMessage& m : two->messages()) {
        ASSERT_EQ(m.payload.size(), 1920u);
        ASSERT_EQ(m.header.flags, audioMessageFlags(true, true, 2));
    }
    for (const ReceivedMessage& m : three->messages()) ASSERT_LT(m.payload.size(), 1352u);
}

TEST(AudioPipeline, BestEffortFallbackTravelsAsUnreliableFragments) {
    ServerHarness harness([](int rateCode, int& error) -> OpusEncoder* {
        error = rateCode == 1 ? OPUS_INTERNAL_ERROR : OPUS_OK;
        return rateCode == 1 ? nullptr : OpusEncoders::createDefault(rateCode, error);
    });
    auto client = harness.connect(1);
    client->sendDataRequest(1u << kRateCodeShift, "frag");
    ASSERT_TRUE(harness.stepUntil({client.get()}, [&] { return client->messages().size() >= 30; }));
    for (const ReceivedMessage& m : client->messages()) {
        ASSERT_EQ(m.payload.size(), 1920u);
        ASSERT_FALSE(m.reliable);
    }
}

// One peer queues a burst of small reliable messages, as a careless or hostile host on the LAN
// can. ENet reads the burst from the socket in one go; the pipeline must still read everyone
// else's acknowledgements and connects every few blocks, or a reliable listener's send window
// fills and it hears nothing until the burst has been handled one event per block.
class PeerBurst : public ::testing::TestWithParam<int> {};

TEST_P(PeerBurst, LeavesOtherListenersWithoutAGapAndLetsANewcomerIn) {
    // 12 blocks of either stream are 50 ms at 48000 Hz; in step the listener hears every 2nd.
    constexpr int kLongestGapInBlocks = 12;
    ServerHarness harness;
    auto listener = harness.connect(1 | CONNECT_FLAG_SHARED);
    listener->sendDataRequest(FLAG_RELIABLE, "listener");
    auto flooder = harness.connect(1 | CONNECT_FLAG_SHARED);
    flooder->sendDataRequest(FLAG_RELIABLE, "flooder");
    ASSERT_TRUE(harness.stepUntil({listener.get(), flooder.get()},
                                  [&] { return listener->messages().size() >= 50; }));

    std::vector<std::uint8_t> faster(kMessageHeaderSize, 0);
    writeMessageHeader({MSG_FASTER, 0, 0, 0}, faster.data());
    for (int i = 0; i < GetParam(); ++i) flooder->queueRaw(faster);
    // Messages of one channel are handled in order: once this name shows, the burst is through.
    flooder->sendDataRequest(FLAG_RELIABLE, "after the burst");
    auto burstHandled = [&] {
        auto statuses = harness.window.read(&FakeServerWindow::statuses);
        return std::any_of(statuses.begin(), statuses.end(),
                           [](const auto& status) { return status.name == "after the burst"; });
    };
    auto newcomer = std::make_unique<TestClient>(harness.port, 1 | CONNECT_FLAG_SHARED);
    auto newcomerInASlot = [&] {
        for (const ClientSlot& slot : harness.server.sessions().slots()) {
            if (slot.peer != nullptr && slot.peer->connectID == newcomer->enetPeer()->connectID) {
                return true;
            }
        }
        return false;
    };

    int steps = 0, longestGap = 0, gap = 0, newcomerSteps = -1;
    std::size_t heard = listener->messages().size();
    while (steps < 20000 && !(burstHandled() && newcomerSteps >= 0)) {
        harness.step({listener.get(), flooder.get(), newcomer.get()});
        ++steps;
        gap = listener->messages().size() > heard ? 0 : gap + 1;
        heard = listener->messages().size();
        longestGap = std::max(longestGap, gap);
        if (newcomerSteps < 0 && newcomer->connected() && newcomerInASlot()) newcomerSteps = steps;
    }
    ASSERT_TRUE(burstHandled()) << steps;
    EXPECT_LE(longestGap, kLongestGapInBlocks) << "blocks without audio for the listener";
    EXPECT_GE(newcomerSteps, 0);
    EXPECT_LE(newcomerSteps, kLongestGapInBlocks);
    expectConsecutiveBlockNumbers(listener->messages());
    EXPECT_TRUE(listener->connected());
}

INSTANTIATE_TEST_SUITE_P(Messages, PeerBurst, ::testing::Values(1000, 3000));

}  // namespace
}  // namespace quavelink::test
