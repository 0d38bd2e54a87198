#include "client/network/client_session.h"

#include <enet/enet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client/network/stream_receiver.h"
#include "server_harness.h"

namespace quavelink {
namespace {

// A client session with its receiver, counting the frames that come out.
struct Listener {
    std::size_t frames = 0;
    StreamReceiver receiver{[this](const std::int16_t*, std::size_t n, int) { frames += n; },
                            [](const std::string&) {}};
    ClientSession session{receiver};

    void connect(std::uint16_t port, bool shared, const std::string& name, StreamChoice choice) {
        std::string error;
        ASSERT_TRUE(session.connect("127.0.0.1", port, shared, name, choice, error)) << error;
    }
};

// Feeds the server and lets the listeners handle what arrived until `done` holds.
bool runUntil(test::ServerHarness& harness, std::initializer_list<Listener*> listeners,
              const std::function<bool()>& done, int maxBlocks = 3000) {
    for (int i = 0; i < maxBlocks && !done(); ++i) {
        harness.step({});
        for (Listener* l : listeners) l->session.service(0);
    }
    return done();
}

const ClientSlot* firstSlot(test::ServerHarness& harness) {
    for (const ClientSlot& slot : harness.server.sessions().slots()) {
        if (slot.peer != nullptr) return &slot;
    }
    return nullptr;
}

TEST(ClientSession, AsksForItsChoiceAndChangesItWhileStreaming) {
    test::ServerHarness harness;
    Listener client;
    client.connect(harness.port, true, "den", {false, 2});
    ASSERT_TRUE(
        runUntil(harness, {&client}, [&] { return client.receiver.stats().received >= 20; }));

    const ClientSlot* slot = firstSlot(harness);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->protocolVersion, 1u);
    EXPECT_TRUE(slot->shared);
    EXPECT_FALSE(slot->reliable);
    EXPECT_EQ(slot->rateCode, 2);
    auto statuses = harness.window.read(&test::FakeServerWindow::statuses);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().name, std::optional<std::string>("den"));
    EXPECT_EQ(client.receiver.stats().rateCode, 2);
    EXPECT_FALSE(client.receiver.stats().reliable);

    client.session.setChoice({true, 0});
    ASSERT_TRUE(runUntil(harness, {&client}, [&] {
        return client.receiver.stats().rateCode == 0 && client.receiver.stats().reliable;
    }));
    EXPECT_TRUE(slot->reliable);
    EXPECT_EQ(slot->rateCode, 0);
    std::uint64_t before = client.receiver.stats().received;
    ASSERT_TRUE(runUntil(harness, {&client},
                         [&] { return client.receiver.stats().received >= before + 50; }));
    // Switching streams is not loss, and on loopback nothing else is lost either.
    EXPECT_EQ(client.receiver.stats().lost, 0u);
    EXPECT_EQ(client.receiver.stats().invalid, 0u);
    EXPECT_EQ(client.session.state(), ClientSession::State::Connected);
}

TEST(ClientSession, ANotSharedClientIsReplacedWithValue101WhileASharedOneStays) {
    test::ServerHarness harness;
    Listener shared, alone;
    shared.connect(harness.port, true, "shared", {true, 0});
    ASSERT_TRUE(runUntil(harness, {&shared}, [&] { return shared.frames > 0; }));
    alone.connect(harness.port, false, "alone", {true, 1});
    ASSERT_TRUE(runUntil(harness, {&shared, &alone}, [&] { return alone.frames > 0; }));

    auto newcomer = harness.connect(1);  // not shared either
    ASSERT_TRUE(runUntil(harness, {&shared, &alone},
                         [&] { return alone.session.state() == ClientSession::State::Ended; }));
    EXPECT_EQ(alone.session.endReason(), ClientSession::EndReason::Replaced);
    EXPECT_EQ(alone.session.disconnectValue(), std::optional<std::uint32_t>(101));
    EXPECT_NE(alone.session.describeEnd().find("replaced by another client"), std::string::npos);
    EXPECT_EQ(shared.session.state(), ClientSession::State::Connected);
    std::size_t before = shared.frames;
    ASSERT_TRUE(runUntil(harness, {&shared}, [&] { return shared.frames > before; }));
}

TEST(ClientSession, TellsAStoppedServerFromOneThatNeverAnswered) {
    Listener client;
    {
        test::ServerHarness harness;
        client.connect(harness.port, true, "x", {true, 0});
        ASSERT_TRUE(runUntil(harness, {&client}, [&] { return client.frames > 0; }));
    }  // the server goes away without a word, as a crashed or restarted one does
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (client.session.state() != ClientSession::State::Ended &&
           std::chrono::steady_clock::now() < deadline) {
        client.session.service(20);
    }
    EXPECT_EQ(client.session.endReason(), ClientSession::EndReason::TimedOut);
    EXPECT_NE(client.session.describeEnd().find("timed out"), std::string::npos);

    Listener nobody;
    nobody.connect(test::freeUdpPort(), true, "x", {true, 0});
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (nobody.session.state() != ClientSession::State::Ended &&
           std::chrono::steady_clock::now() < deadline) {
        nobody.session.service(20);
    }
    EXPECT_EQ(nobody.session.endReason(), ClientSession::EndReason::NoAnswer);
}

TEST(ClientSession, DataRequestCarriesFlagsAndAZeroEndedNameOfAtMost255Characters) {
    std::string bytes = dataRequestBytes({false, 3}, std::string(300, 'n'));
    ASSERT_EQ(bytes.size(), 16u + 255 + 1);
    auto header = readMessageHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    EXPECT_EQ(header.messageId, MSG_DATA_REQUEST);
    EXPECT_EQ(header.flags, 0xC0u);
    EXPECT_EQ(bytes.back(), '\0');
    EXPECT_EQ(readMessageHeader(
                  reinterpret_cast<const std::uint8_t*>(dataRequestBytes({true, 1}, "k").data()))
                  .flags,
              0x41u);
    EXPECT_EQ(clientConnectValue(true), 0x80000001u);
    EXPECT_EQ(clientConnectValue(false), 1u);
}

}  // namespace
}  // namespace quavelink
