// The playout behind the real streaming core and the reference client's session over loopback
// ENet, on simulated time: the server is fed one tone block after another, as fast as it
// takes them, and each block's place in the stream sets the time on the server's clock; the
// client's sound card runs a few hundred ppm apart from that clock. Arrivals are stamped with
// the client's time of the block just sent, the card pulls on its own schedule: no sleeps, and
// the outcome does not depend on how loaded the machine is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "client/network/client_session.h"
#include "client/network/stream_receiver.h"
#include "client/playout/playout.h"
#include "server/wire_format.h"
#include "server_harness.h"
#include "tone.h"

namespace quavelink {
namespace {

constexpr int kRate = 48000;
constexpr std::size_t kCardFrames = kRate / 200;

class PlayoutBehindTheServer : public ::testing::TestWithParam<double> {};

TEST_P(PlayoutBehindTheServer, HoldsItsLevelAndPlaysTheToneWithoutABreak) {
    const double ppm = GetParam();  // the server's clock runs this much faster than the card's
    test::ServerHarness harness;
    Playout playout{PlayoutSettings{}};
    std::int64_t nowUs = 0;
    StreamReceiver receiver([&](const std::int16_t* samples, std::size_t frames,
                                int rate) { playout.push(samples, frames, rate, nowUs); },
                            [](const std::string&) {});
    ClientSession session{receiver};
    std::string error;
    // Reliable: ENet's throttle drops best-effort packets when a stall of a loaded machine
    // stretches the round trip it measures, and this test judges the playout, not the network.
    ASSERT_TRUE(session.connect("127.0.0.1", harness.port, true, "card", {true, 0}, error))
        << error;
    for (int i = 0; i < 3000 && receiver.stats().received == 0; ++i) {
        harness.step({});
        session.service(0);
    }
    ASSERT_GT(receiver.stats().received, 0u);

    std::uint64_t serverFrames = 0, cardFrames = 0;
    // bench/run-playout-skew.sh runs it for longer.
    const char* asked = std::getenv("QUAVELINK_PLAYOUT_SECONDS");
    const double seconds = asked != nullptr ? std::max(20.0, std::atof(asked)) : 40;
    const double judgedFrom = 10;
    std::vector<std::int16_t> card(kCardFrames * 2);
    std::vector<float> heard;  // the left channel of the last 10 s the card played
    double mostOff = 0;
    std::uint64_t underrunsBefore = 0;
    while (cardFrames < static_cast<std::uint64_t>(seconds * kRate)) {
        auto& block = harness.tone.next();
        harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
        if (block.size() != static_cast<std::size_t>(kPlainBlockLength)) continue;
        serverFrames += kPlainBlockFrames;
        const double clientS = static_cast<double>(serverFrames) / kRate / (1 + ppm * 1e-6);
        nowUs = static_cast<std::int64_t>(clientS * 1e6);
        session.service(0);
        while (static_cast<double>(cardFrames + kCardFrames) / kRate <= clientS) {
            const double cardS = static_cast<double>(cardFrames) / kRate;
            playout.pull(card.data(), kCardFrames, PlayoutFeed::Hold{},
                         static_cast<std::int64_t>(cardS * 1e6));
            cardFrames += kCardFrames;
            auto f = playout.figures();
            if (cardS < judgedFrom) {
                underrunsBefore = f.underruns;
                continue;
            }
            mostOff = std::max(mostOff, std::abs(f.levelMs - f.targetMs));
            if (cardS >= seconds - 10) {
                for (std::size_t i = 0; i < kCardFrames; ++i)
                    heard.push_back(card[2 * i] / 32768.0f);
            }
        }
    }
    auto f = playout.figures();
    const double pieces = test::tonalPieceShare(heard, 1000 * (1 + ppm * 1e-6), kRate, kRate / 10);
    std::printf(
        "%+.0f ppm: correction %+.0f ppm, level within %.2f ms of its %.1f ms target, "
        "%llu underruns (%llu before %.0f s), %.0f %% of 100 ms pieces tonal\n",
        ppm, f.correctionPpm, mostOff, f.targetMs, static_cast<unsigned long long>(f.underruns),
        static_cast<unsigned long long>(underrunsBefore), judgedFrom, 100 * pieces);
    EXPECT_EQ(receiver.stats().lost, 0u);
    EXPECT_EQ(f.underruns, underrunsBefore);
    EXPECT_EQ(f.droppedFrames, 0u);
    EXPECT_LE(mostOff, 2);
    EXPECT_NEAR(f.driftPpm, ppm, 100);
    EXPECT_EQ(pieces, 1.0);
}

INSTANTIATE_TEST_SUITE_P(ServerClock, PlayoutBehindTheServer, ::testing::Values(300.0, -300.0));

}  // namespace
}  // namespace quavelink
