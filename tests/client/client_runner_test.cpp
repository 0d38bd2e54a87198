#include "client/client_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include "client/network/stream_receiver.h"
#include "server/wire_format.h"

namespace quavelink {
namespace {

using State = ClientSession::State;
using EndReason = ClientSession::EndReason;

// What the fake network and keyboard do, and what the runner did with them. Time passes only
// in the link's service calls, 1 ms per millisecond waited.
struct Script {
    std::int64_t now = 50000;

    std::deque<bool> connectResults;  // empty: connects succeed
    bool serverAnswers = true;        // a started connect becomes Connected at the next service
    // Services while connected before the server ends the session (-1: never), and how.
    int endAfter = -1;
    EndReason endReason = EndReason::Closed;
    std::uint32_t endValue = 0;
    bool sendAudio = false;  // one plain 48 kHz block per service while connected
    std::function<void()> afterService;

    std::deque<std::string> keys;  // one batch per take
    bool keysOpen = true;

    std::vector<std::int64_t> connectTimes;
    std::int64_t endedAt = -1;
    std::vector<StreamChoice> choicesSet;
    int closes = 0;
};

class FakeLink : public ServerLink {
  public:
    FakeLink(Script& script, StreamReceiver& receiver) : script(script), receiver(receiver) {}

    bool connect(const std::string& host, std::uint16_t port, bool, const std::string&,
                 const StreamChoice& choice, std::string& error) override {
        script.connectTimes.push_back(script.now);
        server = host + ":" + std::to_string(port);
        current = choice;
        bool ok = script.connectResults.empty() || script.connectResults.front();
        if (!script.connectResults.empty()) script.connectResults.pop_front();
        if (!ok) {
            error = "could not reach " + server;
            return false;
        }
        status = State::Connecting;
        connectedServices = 0;
        return true;
    }
    void service(int timeoutMs) override {
        script.now += timeoutMs;
        if (status == State::Connecting && script.serverAnswers) {
            status = State::Connected;
        } else if (status == State::Connected) {
            if (script.endAfter >= 0 && connectedServices++ >= script.endAfter) {
                status = State::Ended;
                reason = script.endReason;
                script.endedAt = script.now;
            } else if (script.sendAudio) {
                sendBlock();
            }
        }
        if (script.afterService) script.afterService();
    }
    void setChoice(const StreamChoice& choice) override {
        current = choice;
        script.choicesSet.push_back(choice);
    }
    const StreamChoice& choice() const override { return current; }
    void close() override { ++script.closes; }
    State state() const override { return status; }
    EndReason endReason() const override { return reason; }
    std::optional<std::uint32_t> disconnectValue() const override { return script.endValue; }
    const std::string& serverText() const override { return server; }
    int roundTripMs() const override { return 1; }
    std::string describeEnd() const override { return "The server ended the connection"; }

  private:
    void sendBlock() {
        std::vector<std::uint8_t> message(kPlainBlockLength);
        writeMessageHeader({MSG_AUDIO, blockNumber++, audioMessageFlags(true, true, 0), 0},
                           message.data());
        receiver.handleMessage(message.data(), message.size());
    }

    Script& script;
    StreamReceiver& receiver;
    State status = State::Idle;
    EndReason reason = EndReason::None;
    std::string server;
    StreamChoice current;
    int connectedServices = 0;
    std::uint32_t blockNumber = 0;
};

class FakeKeys : public KeySource {
  public:
    explicit FakeKeys(Script& script) : script(script) {}
    std::string take() override {
        if (script.keys.empty()) return "";
        std::string batch = script.keys.front();
        script.keys.pop_front();
        return batch;
    }
    bool open() const override { return script.keysOpen; }

  private:
    Script& script;
};

class SilentOutput : public AudioOutput {
  public:
    bool open(int, PlayoutFeed&, std::string&) override { return true; }
    void audioArrived() override {}
    bool failed(std::string&) override { return false; }
    std::uint64_t underflows() override { return 0; }
    double deviceLatencyMs() override { return -1; }
    Realtime realtime(std::string&) override { return Realtime::Unknown; }
    void close() override {}
};

// A text stream in memory, written by the runner's line thread while the test reads it.
class CapturedStream {
  public:
    CapturedStream() : stream(open_memstream(&buffer, &length)) {}
    ~CapturedStream() {
        std::fclose(stream);
        std::free(buffer);
    }
    std::string text() {
        flockfile(stream);
        std::fflush(stream);
        std::string copy(buffer, length);
        funlockfile(stream);
        return copy;
    }
    std::FILE* stream;

  private:
    char* buffer = nullptr;
    std::size_t length = 0;
};

class ClientRunnerTest : public ::testing::Test {
  protected:
    ClientRunnerTest() {
        options.host = "server.test";
        options.play = false;
        options.machine = true;
        options.quiet = true;
    }

    int run() {
        ClientRunnerParts parts;
        parts.nowMs = [this] { return script.now; };
        parts.makeLink = [this](StreamReceiver& receiver) {
            return std::make_unique<FakeLink>(script, receiver);
        };
        parts.findServers = [this](const ClientOptions&, std::vector<FoundServer>& found,
                                   std::string&) {
            found = servers;
            return true;
        };
        parts.makeOutput = [](const ClientOptions&) { return std::make_unique<SilentOutput>(); };
        parts.makeKeys = [this](bool) { return std::make_unique<FakeKeys>(script); };
        parts.hostName = [] { return std::string("this-machine"); };
        parts.raisePriority = [] {};
        parts.quit = &quit;
        parts.out = out.stream;
        parts.err = err.stream;
        return ClientRunner(options, std::move(parts)).run();
    }

    // Quits (as a signal would) once `count` connects have been tried.
    void quitAfterConnects(std::size_t count) {
        script.afterService = [this, count] {
            if (script.connectTimes.size() >= count) quit = true;
        };
    }

    bool outHas(const std::string& line) {
        return out.text().find(line + "\n") != std::string::npos;
    }

    ClientOptions options;
    Script script;
    std::vector<FoundServer> servers;
    std::atomic<bool> quit{false};
    CapturedStream out, err;
};

// ---- Exit codes ----

TEST_F(ClientRunnerTest, AConnectThatCannotStartEndsWithNoServerUnlessAskedToReconnect) {
    script.connectResults = {false};
    EXPECT_EQ(run(), kClientExitNoServer);
    EXPECT_TRUE(
        outHas("event connecting server=server.test:59010 text=Connecting to server.test:59010"));
    EXPECT_EQ(err.text(), "quavelink-client: could not reach server.test:59010\n");
    EXPECT_NE(out.text().find("summary received=0 "), std::string::npos);
    EXPECT_NE(out.text().find(" exit=2\n"), std::string::npos);
}

TEST_F(ClientRunnerTest, ReplacedWithNoKeysToPressEndsWithReplaced) {
    script.keysOpen = false;
    script.endAfter = 2;
    script.endReason = EndReason::Replaced;
    script.endValue = DISCONNECT_REPLACED;
    EXPECT_EQ(run(), kClientExitReplaced);
    EXPECT_TRUE(
        outHas("event connected server=server.test:59010 mode=reliable rate=0 text=Connected to "
               "server.test:59010, asking for reliable delivery at rate code 0"));
    EXPECT_TRUE(outHas(
        "event disconnected server=server.test:59010 reason=replaced value=101 text=The server "
        "ended the connection"));
    EXPECT_EQ(script.closes, 0);  // the session had ended already
}

TEST_F(ClientRunnerTest, AnEndedSessionWithNoKeysAndNoReconnectEndsWithNoServer) {
    script.keysOpen = false;
    script.endAfter = 0;
    EXPECT_EQ(run(), kClientExitNoServer);
    EXPECT_EQ(script.connectTimes.size(), 1u);
}

TEST_F(ClientRunnerTest, WaitingForAKeyEndsWhenTheInputCloses) {
    script.endAfter = 0;
    script.endReason = EndReason::Replaced;
    script.afterService = [this] {
        if (out.text().find("event waiting text=Press c to connect again, q to quit\n") !=
            std::string::npos)
            script.keysOpen = false;
    };
    EXPECT_EQ(run(), kClientExitReplaced);
}

TEST_F(ClientRunnerTest, TheQuitKeyEndsWithSuccessAndSaysGoodbye) {
    for (const char* key : {"q", "Q"}) {
        Script fresh;
        script = fresh;
        script.keys = {"", "", "", key};
        EXPECT_EQ(run(), kClientExitOk) << key;
        EXPECT_EQ(script.closes, 1) << key;
    }
}

TEST_F(ClientRunnerTest, WithoutAHostTheFirstServerFoundIsUsedAndNoneEndsWithNoServer) {
    options.host.clear();
    EXPECT_EQ(run(), kClientExitNoServer);
    EXPECT_EQ(err.text(), "quavelink-client: no server answered; give its address\n");
    EXPECT_TRUE(script.connectTimes.empty());

    servers = {{"10.9.8.7"}, {"10.9.8.6"}};
    script.connectResults = {false};
    EXPECT_EQ(run(), kClientExitNoServer);
    EXPECT_TRUE(outHas("event found address=10.9.8.7 text=Found a server at 10.9.8.7"));
    EXPECT_TRUE(outHas("event connecting server=10.9.8.7:59010 text=Connecting to 10.9.8.7:59010"));
}

TEST_F(ClientRunnerTest, TheListPrintsEveryServerAndEndsWithNoServerWhenNoneAnswered) {
    options.action = ClientOptions::Action::List;
    EXPECT_EQ(run(), kClientExitNoServer);
    EXPECT_EQ(err.text(), "quavelink-client: no server answered\n");
    servers = {{"10.9.8.7"}, {"10.9.8.6"}};
    EXPECT_EQ(run(), kClientExitOk);
    EXPECT_TRUE(outHas("server address=10.9.8.7 port=59010"));
    EXPECT_TRUE(outHas("server address=10.9.8.6 port=59010"));
}

// ---- Reconnecting ----

TEST_F(ClientRunnerTest, AFailedConnectIsTriedAgainEverySecondWhenAskedTo) {
    options.reconnect = true;
    script.connectResults = {false, false, false, false};
    quitAfterConnects(4);
    EXPECT_EQ(run(), kClientExitOk);
    ASSERT_EQ(script.connectTimes.size(), 4u);
    for (std::size_t i = 1; i < script.connectTimes.size(); ++i) {
        EXPECT_EQ(script.connectTimes[i] - script.connectTimes[i - 1],
                  ClientRunner::kReconnectPauseMs);
    }
}

TEST_F(ClientRunnerTest, ALostConnectionIsMadeAgainASecondAfterItEnded) {
    options.reconnect = true;
    script.endAfter = 3;
    quitAfterConnects(2);
    EXPECT_EQ(run(), kClientExitOk);
    ASSERT_EQ(script.connectTimes.size(), 2u);
    EXPECT_EQ(script.connectTimes[1] - script.endedAt, ClientRunner::kReconnectPauseMs);
}

TEST_F(ClientRunnerTest, AfterBeingReplacedCConnectsAgainAtOnce) {
    script.endAfter = 1;
    script.endReason = EndReason::Replaced;
    std::int64_t pressedAt = -1;
    script.afterService = [&] {
        if (pressedAt < 0 && out.text().find("event waiting") != std::string::npos) {
            script.keys = {"c"};
            pressedAt = script.now;
        }
        if (script.connectTimes.size() == 2) script.keys = {"q"};
    };
    EXPECT_EQ(run(), kClientExitOk);
    ASSERT_EQ(script.connectTimes.size(), 2u);
    EXPECT_EQ(script.connectTimes[1], pressedAt);
}

// ---- Keys and the stream ----

TEST_F(ClientRunnerTest, KeysChangeTheAskedForStreamOnlyWhenItDiffers) {
    script.keys = {"", "", "b2", "b", "2", "r0", "x", "q"};
    EXPECT_EQ(run(), kClientExitOk);
    // One change a key; a key that asks for what is asked for already changes nothing.
    ASSERT_EQ(script.choicesSet.size(), 4u);
    const std::pair<bool, int> expected[] = {{false, 0}, {false, 2}, {true, 2}, {true, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(script.choicesSet[i].reliable, expected[i].first) << i;
        EXPECT_EQ(script.choicesSet[i].rateCode, expected[i].second) << i;
    }
    EXPECT_TRUE(
        outHas("event mode mode=best-effort rate=2 text=Asking for best-effort delivery "
               "at rate code 2"));
}

TEST_F(ClientRunnerTest, SecondsEndTheRunOnceThatMuchAudioCameAndTheSummarySaysSo) {
    options.seconds = 0.05;  // 8 blocks of 338 frames at 48 kHz
    script.sendAudio = true;
    EXPECT_EQ(run(), kClientExitOk);
    EXPECT_NE(out.text().find("summary received=8 lost=0 "), std::string::npos) << out.text();
    EXPECT_NE(
        out.text().find(
            " frames=2704 underruns=0 output_underruns=0 dropped_frames=0 output_realtime=unknown "
            "seconds=0.056 exit=0\n"),
        std::string::npos)
        << out.text();
}

}  // namespace
}  // namespace quavelink
