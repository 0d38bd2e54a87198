// Audio through a lossy, slow network. The kernel here has no netem, so the user-space relay of
// tests/support stands between the streaming core and its clients: 5 % of the datagrams lost in
// each direction, 20 ± 10 ms of delay (then 15 %, and a link too slow for one client). The core
// is fed a tone at the stream's pace. Best-effort reference clients must keep playing,
// concealing what was lost. A reliable client that cannot keep up must be trimmed by the
// pipeline's queue check, so that the server never holds more than 75 + 15 never-sent messages
// and ENet's window for it, and must come back near the live stream once its link recovers.
// The heap must not grow with the time.
#include <enet/enet.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/client_options.h"
#include "client/network/client_session.h"
#include "client/network/stream_receiver.h"
#include "client/playout/player.h"
#include "client/playout/playout.h"
#include "log_capture.h"
#include "lossy_udp_relay.h"
#include "server/outgoing_queue.h"
#include "server/wire_format.h"
#include "server_harness.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr std::size_t kCardPeriodFrames = kRate / 200;  // the sound card takes 5 ms at a time

// The reference client's receiving half: the receiver numbers the blocks, finds the lost ones
// and conceals them; the playout (adaptive, as the client's default) feeds a sound card that
// takes 5 ms at a time on the server's clock, so the test's own pauses on a loaded machine stop
// both sides alike. Arrivals are timed on the steady clock, the card's pulls on its own
// schedule from the start of the stream.
struct Playback {
    Playback()
        : receiver(
              [this](const std::int16_t* samples, std::size_t frames, int rate) {
                  playout.push(samples, frames, rate, Player::steadyMicroseconds());
              },
              [](const std::string&) {}) {}

    //! Lets the card take every period that the server's clock has passed.
    void playUntil(std::uint64_t streamFrames) {
        if (cardStartUs == 0) {
            cardStartUs = Player::steadyMicroseconds() -
                          static_cast<std::int64_t>(streamFrames * 1000000 / kRate);
        }
        while (cardFrames + kCardPeriodFrames <= streamFrames) {
            playout.pull(card.data(), kCardPeriodFrames, PlayoutFeed::Hold{},
                         cardStartUs + static_cast<std::int64_t>(cardFrames * 1000000 / kRate));
            cardFrames += kCardPeriodFrames;
        }
    }

    Playout playout{PlayoutSettings{}};
    std::int64_t cardStartUs = 0;
    StreamReceiver receiver;
    std::vector<std::int16_t> card = std::vector<std::int16_t>(kCardPeriodFrames * 2);
    std::uint64_t cardFrames = 0;
};

// Figures of one listener over a stretch of time.
struct Figures {
    StreamReceiver::Stats stats;
    Playout::Figures counters;

    static Figures of(const Playback& play) {
        return {play.receiver.stats(), play.playout.figures()};
    }
    Figures since(const Figures& start) const {
        Figures d = *this;
        d.stats.received -= start.stats.received;
        d.stats.lost -= start.stats.lost;
        d.stats.stale -= start.stats.stale;
        d.stats.invalid -= start.stats.invalid;
        d.stats.restarts -= start.stats.restarts;
        d.stats.concealedFrames -= start.stats.concealedFrames;
        d.stats.frames -= start.stats.frames;
        d.stats.messageBytes -= start.stats.messageBytes;
        d.counters.underruns -= start.counters.underruns;
        d.counters.playedFrames -= start.counters.playedFrames;
        d.counters.droppedFrames -= start.counters.droppedFrames;
        return d;
    }
    double lostShare() const {
        auto all = stats.received + stats.lost;
        return all == 0 ? 1.0 : static_cast<double>(stats.lost) / static_cast<double>(all);
    }
};

// A best-effort client: the reference client's own session.
struct SessionListener {
    SessionListener(std::string name, StreamChoice choice)
        : name(std::move(name)), choice(choice) {}
    std::string name;
    StreamChoice choice;
    Playback play;
    ClientSession session{play.receiver};
};

// A reliable client on the wire: the test client, whose messages also go through a Playback,
// and whose block numbers are compared with the server's counter as they arrive.
struct WireListener {
    WireListener(std::string name, std::uint32_t flags) : name(std::move(name)), flags(flags) {}
    bool compressed() const { return rateCodeFromFlags(flags) != 0; }

    std::string name;
    std::uint32_t flags;
    std::unique_ptr<TestClient> client;
    Playback play;
    std::uint64_t messages = 0;
    std::uint32_t lastBlock = 0;
    bool outOfOrder = false;
    //! How far the newest block it held was behind the server's counter, at most and at least,
    //! since the last reset; in blocks of its stream.
    std::uint32_t maxLag = 0;
    std::uint32_t minLag = UINT32_MAX;
};

// Bytes the server's ENet holds for a peer: queued commands and sent ones not yet acknowledged.
std::size_t queuedBytes(ENetPeer* peer) {
    std::size_t bytes = 0;
    for (ENetList* list : {&peer->outgoingCommands, &peer->sentReliableCommands}) {
        for (ENetListIterator it = enet_list_begin(list); it != enet_list_end(list);
             it = enet_list_next(it)) {
            bytes += reinterpret_cast<ENetOutgoingCommand*>(it)->fragmentLength;
        }
    }
    return bytes;
}

// Reliable audio commands queued for `peer` and never sent: what the queue check trims.
std::size_t neverSentReliable(ENetPeer* peer) {
    std::size_t count = 0;
    for (ENetListIterator it = enet_list_begin(&peer->outgoingCommands);
         it != enet_list_end(&peer->outgoingCommands); it = enet_list_next(it)) {
        auto* command = reinterpret_cast<ENetOutgoingCommand*>(it);
        if ((command->command.header.command & ENET_PROTOCOL_COMMAND_FLAG_ACKNOWLEDGE) != 0 &&
            command->packet != nullptr && command->sendAttempts == 0) {
            ++count;
        }
    }
    return count;
}

std::size_t heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

int removedTotal(LogCapture& log) {
    int total = 0;
    for (const std::string& line : log.all()) {
        int removed = 0;
        if (std::sscanf(line.c_str(), "Removed %d outgoing messages", &removed) == 1) {
            total += removed;
        }
    }
    return total;
}

class LossyNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        LossyUdpRelay::Options options;
        options.serverPort = harness.port;
        options.seed = 20260115;
        options.linkQueue = 500ms;
        relay = std::make_unique<LossyUdpRelay>(options);
        start = Clock::now();
    }

    // Feeds the tone at the stream's pace for `duration`, servicing every client after each
    // block, letting every sound card play, and watching the server's queues.
    void run(std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            auto& block = harness.tone.next();
            const bool plain = block.size() == static_cast<std::size_t>(kPlainBlockLength);
            harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
            if (plain) streamFrames += kPlainBlockFrames;
            serviceClients();
            if (plain) {
                const auto due = start + std::chrono::microseconds(streamFrames * 1000000 / kRate);
                std::this_thread::sleep_until(due);
                worstStall = std::max(worstStall, Clock::now() - due);
            }
        }
    }

    void serviceClients() {
        for (auto& listener : sessions) {
            listener->session.service(0);
            listener->play.playUntil(streamFrames);
        }
        for (auto& listener : wires) {
            listener->client->service(0);
            const std::uint32_t next = listener->compressed() ? harness.server.opusBlockCounter()
                                                              : harness.server.plainBlockCounter();
            for (const ReceivedMessage& m : listener->client->messages()) {
                // Reliable delivery keeps the order: never a block older than the last one.
                if (listener->messages > 0 &&
                    m.header.blockNumber - listener->lastBlock - 1 >= 0x80000000u) {
                    listener->outOfOrder = true;
                }
                listener->lastBlock = m.header.blockNumber;
                ++listener->messages;
                std::vector<std::uint8_t> bytes(kMessageHeaderSize + m.payload.size());
                writeMessageHeader(m.header, bytes.data());
                std::copy(m.payload.begin(), m.payload.end(), bytes.begin() + kMessageHeaderSize);
                listener->play.receiver.handleMessage(bytes.data(), bytes.size());
            }
            listener->client->messages().clear();
            // How far behind the live stream the newest block it holds is, also while it waits.
            if (listener->messages > 0) {
                const std::uint32_t behind = next - 1 - listener->lastBlock;
                listener->maxLag = std::max(listener->maxLag, behind);
                listener->minLag = std::min(listener->minLag, behind);
            }
            listener->play.playUntil(streamFrames);
        }
        for (const ClientSlot& slot : harness.server.sessions().slots()) {
            if (slot.peer == nullptr) continue;
            mostWaiting = std::max(mostWaiting, waitingReliableCommands(slot.peer));
            mostNeverSent = std::max(mostNeverSent, neverSentReliable(slot.peer));
            mostQueuedCommands =
                std::max(mostQueuedCommands, enet_list_size(&slot.peer->outgoingCommands) +
                                                 enet_list_size(&slot.peer->sentReliableCommands));
            mostQueuedBytes = std::max(mostQueuedBytes, queuedBytes(slot.peer));
            mostQueuedBytesEver = std::max(mostQueuedBytesEver, mostQueuedBytes);
        }
        // The fake window keeps every meter value and status it is given: not the server's.
        harness.window.meterCalls.clear();
        harness.window.statuses.clear();
    }

    void connectAll() {
        for (auto& listener : sessions) {
            std::string error;
            ASSERT_TRUE(listener->session.connect("127.0.0.1", relay->port(), true, listener->name,
                                                  listener->choice, error))
                << error;
        }
        for (auto& listener : wires) {
            listener->client = std::make_unique<TestClient>(relay->port(), 1 | CONNECT_FLAG_SHARED);
        }
        // Every client streams: the data request of a wire client goes once it is connected.
        const auto deadline = Clock::now() + 20s;
        auto allStreaming = [&] {
            for (auto& l : sessions) {
                if (l->play.receiver.stats().received < 50) return false;
            }
            for (auto& l : wires) {
                if (l->messages < 50) return false;
            }
            return true;
        };
        std::vector<bool> asked(wires.size(), false);
        while (!allStreaming() && Clock::now() < deadline) {
            run(20ms);
            for (std::size_t i = 0; i < wires.size(); ++i) {
                if (!asked[i] && wires[i]->client->connected()) {
                    wires[i]->client->sendDataRequest(wires[i]->flags, wires[i]->name);
                    asked[i] = true;
                }
            }
        }
        ASSERT_TRUE(allStreaming()) << "not every client streams through the relay";
    }

    void resetWatch() {
        for (auto& l : wires) {
            l->maxLag = 0;
            l->minLag = UINT32_MAX;
        }
        mostWaiting = mostNeverSent = mostQueuedCommands = mostQueuedBytes = 0;
    }

    ServerHarness harness;
    std::unique_ptr<LossyUdpRelay> relay;
    std::vector<std::unique_ptr<SessionListener>> sessions;
    std::vector<std::unique_ptr<WireListener>> wires;
    Clock::time_point start;
    //! The longest this test's own loop woke up late: what a loaded machine adds to any delay.
    Clock::duration worstStall{0};
    std::uint64_t streamFrames = 0;
    std::size_t mostWaiting = 0, mostNeverSent = 0, mostQueuedCommands = 0, mostQueuedBytes = 0;
    std::size_t mostQueuedBytesEver = 0;
};

// The design's bound on what a reliable client waits for: the queue check runs every 15th block
// and drops the never-sent commands when more than 75 wait, so at most 75 + 15 are never sent.
constexpr std::size_t kMostNeverSent = 75 + 15;

class LossyNetworkPhases : public LossyNetwork {
  protected:
    struct Snapshot {
        std::vector<Figures> listeners;  // sessions first, then wires
        LossyUdpRelay::Counts toServer, toClient;
        int removed = 0;
        std::uint64_t frames = 0;
        std::uint32_t plainBlocks = 0, opusBlocks = 0;
    };

    Snapshot snapshot() {
        Snapshot now;
        for (auto& l : sessions) now.listeners.push_back(Figures::of(l->play));
        for (auto& l : wires) now.listeners.push_back(Figures::of(l->play));
        now.toServer = relay->toServer();
        now.toClient = relay->toClient();
        now.removed = removedTotal(log);
        now.frames = streamFrames;
        now.plainBlocks = harness.server.plainBlockCounter();
        now.opusBlocks = harness.server.opusBlockCounter();
        return now;
    }

    // Runs one phase at `loss` in both directions and prints what it did; the figures of each
    // listener over the phase.
    std::vector<Figures> phase(const char* name, double loss, std::chrono::milliseconds duration) {
        relay->setLoss(loss, loss);
        resetWatch();
        const Snapshot before = snapshot();
        run(duration);
        const Snapshot after = snapshot();
        seconds = static_cast<double>(after.frames - before.frames) / kRate;
        plainSent = after.plainBlocks - before.plainBlocks;
        opusSent = after.opusBlocks - before.opusBlocks;
        removed = after.removed - before.removed;

        auto share = [](const LossyUdpRelay::Counts& a, const LossyUdpRelay::Counts& b) {
            return 100.0 * static_cast<double>(a.dropped - b.dropped) /
                   static_cast<double>(std::max<std::uint64_t>(1, a.received - b.received));
        };
        std::printf(
            "=== %s: %.1f s streamed (%u plain, %u compressed blocks); relay lost %.2f %% "
            "to the server, %.2f %% to the clients, delay %.1f..%.1f ms\n",
            name, seconds, plainSent, opusSent, share(after.toServer, before.toServer),
            share(after.toClient, before.toClient), after.toClient.minDelay.count() / 1000.0,
            after.toClient.maxDelay.count() / 1000.0);
        std::vector<Figures> figures;
        std::vector<std::string> names;
        for (auto& l : sessions) names.push_back(l->name);
        for (auto& l : wires) names.push_back(l->name);
        for (std::size_t i = 0; i < names.size(); ++i) {
            Figures f = after.listeners[i].since(before.listeners[i]);
            figures.push_back(f);
            std::printf(
                "%-8s received %llu, lost %llu (%.2f %%), stale %llu, concealed %.0f ms; "
                "played %.2f of %.2f s, %llu underruns, %.0f ms dropped by the playout",
                names[i].c_str(), static_cast<unsigned long long>(f.stats.received),
                static_cast<unsigned long long>(f.stats.lost), 100 * f.lostShare(),
                static_cast<unsigned long long>(f.stats.stale),
                f.stats.concealedFrames * 1000.0 / kRate,
                static_cast<double>(f.counters.playedFrames) / kRate, seconds,
                static_cast<unsigned long long>(f.counters.underruns),
                f.counters.droppedFrames * 1000.0 / kRate);
            if (i >= sessions.size()) {
                const WireListener& l = *wires[i - sessions.size()];
                std::printf("; %u to %u blocks behind", l.minLag, l.maxLag);
            }
            std::printf("\n");
        }
        std::printf(
            "server: at most %zu reliable commands never sent (%zu waiting, with those "
            "to send again), %zu commands and %zu bytes held for one peer; trimming "
            "removed %d messages\n",
            mostNeverSent, mostWaiting, mostQueuedCommands, mostQueuedBytes, removed);
        std::fflush(stdout);
        return figures;
    }

    LogCapture log;
    double seconds = 0;
    std::uint32_t plainSent = 0, opusSent = 0;
    int removed = 0;
};

// A best-effort listener kept playing through a phase of `seconds`: it got (or concealed) the
// blocks sent to it and its sound card ran almost all the time.
void expectKeptPlaying(const std::string& name, const Figures& f, std::uint32_t sent,
                       double seconds, double mostLost, double leastPlayed) {
    SCOPED_TRACE(name);
    EXPECT_GE(static_cast<double>(f.stats.received + f.stats.lost), 0.95 * sent);
    EXPECT_LE(f.lostShare(), mostLost);
    EXPECT_EQ(f.stats.invalid, 0u);
    EXPECT_EQ(f.stats.restarts, 0u);
    EXPECT_GE(static_cast<double>(f.counters.playedFrames) / kRate, leastPlayed * seconds);
}

TEST_F(LossyNetworkPhases, BestEffortKeepsPlayingReliableIsTrimmedAndTheServerStaysBounded) {
    sessions.push_back(std::make_unique<SessionListener>("be-pcm", StreamChoice{false, 0}));
    sessions.push_back(std::make_unique<SessionListener>("be-opus", StreamChoice{false, 3}));
    wires.push_back(std::make_unique<WireListener>("rel-pcm", FLAG_RELIABLE));
    wires.push_back(
        std::make_unique<WireListener>("rel-opus", FLAG_RELIABLE | 2u << kRateCodeShift));
    connectAll();
    if (HasFatalFailure()) return;
    run(2s);  // warm-up: ENet's round-trip estimates and the allocator settle
    const std::size_t heapBefore = heapInUse();

    // Near the live stream: the newest block a reliable client holds is at most 0.5 s old at
    // some moment of every second. (Its largest lag is ENet's: a message lost again and again
    // waits for retransmission timeouts that double each time, and everything after it waits
    // too; at 5 % loss that was up to 2 s now and then.)
    constexpr std::uint32_t kNearLive = kRate / 2 / kPlainBlockFrames;  // 71 plain blocks
    auto nearLive = [](const WireListener& l) {
        const std::uint32_t blocksPerSecond = l.compressed() ? 100 : kRate / kPlainBlockFrames;
        return l.minLag <= kNearLive * blocksPerSecond / (kRate / kPlainBlockFrames);
    };

    // 5 %: every best-effort listener keeps playing; what it lost is about what the network lost.
    auto fivePercent = phase("5 % loss", 0.05, 10s);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const Figures& f = fivePercent[i];
        const bool opus = sessions[i]->choice.rateCode != 0;
        expectKeptPlaying(sessions[i]->name, f, opus ? opusSent : plainSent, seconds, 0.15, 0.95);
        EXPECT_GE(f.lostShare(), 0.01) << sessions[i]->name;  // the relay did lose them
        EXPECT_EQ(f.stats.stale, 0u);  // in order: nothing arrives after its successor
        EXPECT_LE(f.counters.underruns, 5u) << sessions[i]->name;
        // Each lost block was made up by concealment, keeping the timeline.
        const double blockFrames = opus ? kOpusBlockFrames : kPlainBlockFrames;
        EXPECT_GE(static_cast<double>(f.stats.concealedFrames), 0.8 * f.stats.lost * blockFrames);
    }
    EXPECT_LE(mostNeverSent, kMostNeverSent);

    // 15 %: the best-effort listeners still play. (Much more, and ENet ends the reference
    // client's session now and then: its timeout is reached when one reliable ping is lost five
    // times in a row within two seconds, about 0.6 % of the pings at 20 % loss each way.)
    auto heavier = phase("15 % loss", 0.15, 5s);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const bool opus = sessions[i]->choice.rateCode != 0;
        expectKeptPlaying(sessions[i]->name, heavier[i], opus ? opusSent : plainSent, seconds, 0.35,
                          0.8);
    }
    EXPECT_LE(mostNeverSent, kMostNeverSent);

    // A reliable PCM client whose link carries 100 kB/s of its 195 kB/s stream cannot keep up.
    // Its audio piles up at the server until the queue check trims it, again and again, so the
    // server never holds more than the trimmed queue and ENet's window for it. (Without the
    // check the never-sent queue grew past 700 messages and 1 MB in these 8 s, and on.) How far
    // behind the client is meanwhile is ENet's: over a full link its retransmissions back off
    // and its window holds the same old messages for seconds, check or no check.
    WireListener& slow = *wires[0];
    relay->setClientRate(slow.client->localPort(), 100000);
    phase("slow link to rel-pcm, filling", 0.05, 2s);
    int trimmed = removed;
    for (int i = 0; i < 3; ++i) {
        phase("slow link to rel-pcm, trimmed", 0.05, 2s);
        trimmed += removed;
        EXPECT_LE(mostNeverSent, kMostNeverSent);
    }
    EXPECT_GT(trimmed, 0) << "the queue check never trimmed the slow reliable client";
    EXPECT_TRUE(slow.client->connected());
    relay->setClientRate(slow.client->localPort(), 0);

    // Back at 5 % on a fast link: the reliable clients return near the live stream and stay
    // there, two seconds in a row. How soon is printed; the test only judges that they do, within
    // a minute, since a machine busy with other work stretches the catch-up (under the address
    // checks with two other builds running it took over 20 s).
    const auto recoveryStart = Clock::now();
    int goodSeconds = 0;
    while (goodSeconds < 2 && Clock::now() - recoveryStart < 60s) {
        resetWatch();
        run(1s);
        bool good = true;
        for (auto& l : wires) good = good && nearLive(*l);
        goodSeconds = good ? goodSeconds + 1 : 0;
    }
    const double recovered =
        std::chrono::duration<double>(Clock::now() - recoveryStart).count() - goodSeconds;
    std::printf("=== fast link again: the reliable clients near the live stream after %.0f s\n",
                recovered);
    for (auto& l : wires) {
        std::printf("%-8s %u to %u blocks behind in the last second\n", l->name.c_str(), l->minLag,
                    l->maxLag);
        EXPECT_FALSE(l->outOfOrder) << l->name;
        EXPECT_TRUE(l->client->connected()) << l->name;
    }
    EXPECT_EQ(goodSeconds, 2) << "the reliable clients did not come back near the live stream";
    auto settled = phase("5 % loss, settled", 0.05, 3s);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const bool opus = sessions[i]->choice.rateCode != 0;
        EXPECT_EQ(sessions[i]->session.state(), ClientSession::State::Connected);
        expectKeptPlaying(sessions[i]->name, settled[i], opus ? opusSent : plainSent, seconds, 0.15,
                          0.9);
    }

    // Memory: what the server holds for a peer stays within the trimmed queue and ENet's window
    // (the messages in flight, and those of them waiting to be sent again), and the heap of the
    // whole process (server, clients, relay) did not grow with the time.
    constexpr auto kWindow = static_cast<std::size_t>(ENET_PROTOCOL_MAXIMUM_WINDOW_SIZE);
    EXPECT_LE(mostQueuedBytesEver, kMostNeverSent * kPlainBlockLength + 2 * kWindow);
    const std::size_t heapAfter = heapInUse();
    std::printf("server held at most %zu bytes for one peer; heap in use %zu -> %zu bytes\n",
                mostQueuedBytesEver, heapBefore, heapAfter);
    EXPECT_LT(heapAfter, heapBefore + 2 * 1024 * 1024);
}

// A link whose delay steps up, as a Wi-Fi link's does when a download starts beside the
// stream, makes the round trip that ENet measures jump. The link loses nothing, and the server
// must not either: every best-effort block still goes out.
TEST_F(LossyNetwork, ARoundTripThatJumpsCostsNoBestEffortBlock) {
    relay->setLoss(0, 0);
    relay->setDelay(2ms, 1ms);
    sessions.push_back(std::make_unique<SessionListener>("be-pcm", StreamChoice{false, 0}));
    connectAll();
    if (HasFatalFailure()) return;
    const StreamReceiver& receiver = sessions[0]->play.receiver;
    run(6s);  // ENet learns a short and steady round trip
    const StreamReceiver::Stats before = receiver.stats();
    const std::uint32_t sentBefore = harness.server.plainBlockCounter();
    relay->setDelay(60ms, 5ms);
    run(6s);
    relay->setDelay(2ms, 1ms);
    run(1s);
    const StreamReceiver::Stats after = receiver.stats();
    const std::uint32_t sent = harness.server.plainBlockCounter() - sentBefore;
    std::printf("delay 2 -> 60 ms: %llu of %u blocks received, %llu lost\n",
                static_cast<unsigned long long>(after.received - before.received), sent,
                static_cast<unsigned long long>(after.lost - before.lost));
    EXPECT_EQ(after.lost, before.lost);
    // All but the ones still on their way.
    EXPECT_GE(after.received - before.received, sent - 30u);
}

// The adaptive playout behind 20 ± 10 ms of delay (first in, first out, as on a link whose
// delay varies with its load) and no loss: its target settles within 5 s of streaming and
// nothing runs dry after that; once the delay is gone it keeps the margin (for minutes: a link
// that went bad once goes bad again), and playing on stays clean.
TEST_F(LossyNetwork, ThePlayoutSettlesBehindAJitteryLinkAndKeepsItsMarginOnceItIsQuiet) {
    relay->setLoss(0, 0);
    sessions.push_back(std::make_unique<SessionListener>("be-pcm", StreamChoice{false, 0}));
    connectAll();
    if (HasFatalFailure()) return;
    const Playout& playout = sessions[0]->play.playout;
    // A machine that stalls this test's loop or the relay's thread adds that to the delays
    // here: past half the link's own variation the playout rightly holds more, or runs dry, and
    // the figures say nothing of the link. (Idle, this machine adds 2 to 6 ms, under the thread
    // checks too.)
    constexpr double kMostHeldUpMs = 10;
    std::chrono::microseconds relayLate{0};
    auto heldUpBy = [&] {
        relayLate = std::max(relayLate, relay->takeMostLate());
        return std::chrono::duration<double, std::milli>(
                   std::max<Clock::duration>(worstStall, relayLate))
            .count();
    };
    worstStall = {};
    relay->takeMostLate();
    run(5s);
    const Playout::Figures settled = playout.figures();
    auto concealed = [&] { return sessions[0]->play.receiver.stats().concealedBlocks; };
    const std::uint64_t settledConcealed = concealed();
    // bench/run-playout-relay.sh runs it for longer.
    const char* asked = std::getenv("QUAVELINK_PLAYOUT_SECONDS");
    const int seconds = asked != nullptr ? std::max(5, std::atoi(asked)) : 15;
    run(std::chrono::seconds(seconds));
    const Playout::Figures jittery = playout.figures();
    std::printf(
        "20 ± 10 ms: target %.1f ms after 5 s, %.1f ms %d s later (arrival jitter "
        "%.1f ms); %llu underruns and %llu concealed blocks in those %d s; the machine held "
        "things up by %.1f ms\n",
        settled.targetMs, jittery.targetMs, seconds, jittery.jitterMs,
        static_cast<unsigned long long>(jittery.underruns - settled.underruns),
        static_cast<unsigned long long>(concealed() - settledConcealed), seconds, heldUpBy());
    std::fflush(stdout);
    if (heldUpBy() > kMostHeldUpMs)
        GTEST_SKIP() << "this machine held the test up by " << heldUpBy() << " ms";
    // What piled up behind a gap of the first seconds may have been cut; nothing after.
    EXPECT_EQ(jittery.underruns, settled.underruns);
    EXPECT_EQ(jittery.droppedFrames, settled.droppedFrames);
    // The 5 ms it gave to cover a block and a pull, and more for the 20 ms the delay varies by.
    EXPECT_GE(jittery.targetMs, 12);
    // The relay loses nothing, and neither may the server's sending: a varying round trip is
    // no reason to drop a block.
    EXPECT_EQ(concealed(), 0u);

    relay->setDelay(0ms, 0ms);
    run(20s);
    const Playout::Figures quiet = playout.figures();
    if (heldUpBy() > kMostHeldUpMs)
        GTEST_SKIP() << "this machine held the test up by " << heldUpBy() << " ms";
    std::printf("delay gone: target %.1f ms, level %.1f ms 20 s later; %llu underruns\n",
                quiet.targetMs, quiet.levelMs,
                static_cast<unsigned long long>(quiet.underruns - jittery.underruns));
    // Still above the 14 ms at most that a quiet link asks for (see the simulated playout
    // tests, which also judge how long it is kept and how it comes down).
    EXPECT_GE(quiet.targetMs, 16);
    EXPECT_EQ(quiet.underruns, jittery.underruns);
    EXPECT_EQ(quiet.droppedFrames, settled.droppedFrames);
    EXPECT_EQ(concealed(), 0u);
}

}  // namespace
}  // namespace quavelink::test
