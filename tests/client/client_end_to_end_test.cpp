// The client program against the streaming core in a server program of its own, all inside the
// private network namespace of the test command, with a private PulseAudio daemon for playback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "child_process.h"
#include "pulse_daemon.h"
#include "temporary_folder.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

const std::string kClient = CLIENT_PROGRAM;

std::vector<std::string> toneServerCommand(std::uint16_t port, int rate, bool discovery) {
    std::vector<std::string> command{
        TONE_SERVER_PROGRAM, "--port", std::to_string(port), "--rate", std::to_string(rate),
        "--seconds",         "120"};
    if (discovery) command.push_back("--discovery");
    return command;
}

// The tone server on `fixedPort`, or on a free port when 0.
struct ToneServer {
    explicit ToneServer(int rate = 48000, bool discovery = false, std::uint16_t fixedPort = 0)
        : port(fixedPort != 0 ? fixedPort : freeUdpPort()),
          process(toneServerCommand(port, rate, discovery)) {
        started = process.waitForOutput("ready", 10s);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    std::uint16_t port;
    ChildProcess process;
    bool started = false;
};

class ClientEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        // Servers bind every local address and discovery sends multicast: never outside.
        ASSERT_TRUE(inPrivateNetwork())
            << "run inside scripts/in-private-network.sh (scripts/test.sh does)";
    }

    const std::filesystem::path& scratch() const { return folder.path(); }

    TemporaryFolder folder{"quavelink-client-e2e"};
};

std::uint64_t number(const std::string& output, const char* linePrefix, const char* key) {
    auto text = fieldOf(output, linePrefix, key);
    EXPECT_TRUE(text.has_value()) << key << " missing in:\n" << output;
    return text ? std::stoull(*text) : 0;
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// The part of a recording between its first and last sound, left channel.
std::vector<float> soundingPart(const std::vector<float>& left) {
    auto loud = [](float x) { return x > 0.02f || x < -0.02f; };
    auto first = std::find_if(left.begin(), left.end(), loud);
    auto last = std::find_if(left.rbegin(), left.rend(), loud).base();
    if (first >= last) return {};
    return std::vector<float>(first, last);
}

struct PlayCase {
    int serverRate;
    const char* mode;
    int rateCode;
};

void PrintTo(const PlayCase& c, std::ostream* out) {
    *out << c.serverRate << " Hz " << c.mode << " -c " << c.rateCode;
}

class ClientPlaysIntoNullSink : public ClientEndToEnd,
                                public ::testing::WithParamInterface<PlayCase> {};

TEST_P(ClientPlaysIntoNullSink, TheSinkMonitorCarriesTheTone) {
    const PlayCase c = GetParam();
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    ToneServer server(c.serverRate);
    ASSERT_TRUE(server.started) << server.process.errors();
    ChildProcess monitor({"/usr/bin/parec", "-d", "test.monitor", "--raw", "--format=s16le",
                          "--rate=48000", "--channels=2", "--latency-msec=100"},
                         {"PULSE_SERVER=" + pulse.server()});
    // A suspended sink takes up to 2 s to deliver its first data: record from the start.
    auto recordingSince = std::chrono::steady_clock::now();
    while (monitor.output().empty() && std::chrono::steady_clock::now() - recordingSince < 10s) {
        std::this_thread::sleep_for(20ms);
    }
    ChildProcess client({kClient, server.address(), c.mode, "-c", std::to_string(c.rateCode),
                         "--seconds", "4", "--machine", "--no-keys"},
                        {"PULSE_SERVER=" + pulse.server()});
    ASSERT_EQ(client.wait(40s), std::optional<int>(0)) << client.output() << client.errors();
    std::this_thread::sleep_for(500ms);  // the last audio queued in the sink
    monitor.stop();

    std::string out = client.output();
    EXPECT_EQ(number(out, "summary", "lost"), 0u);
    EXPECT_EQ(number(out, "summary", "invalid"), 0u);
    std::string raw = monitor.output();
    auto played =
        soundingPart(leftChannel(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()));
    // Four seconds were received and played; allow for the start and the end of playback.
    EXPECT_GT(played.size(), 3u * 48000) << "recorded " << raw.size() / 4 << " frames";
    // A loaded machine may still let the sink run dry for a moment; most pieces must hold it.
    // The playout may play up to 0.2 % slower or faster while it adapts its level.
    EXPECT_GE(tonalPieceShare(played, 1000, 48000, 4800, 0.002), kTonalPieceBar)
        << fieldOf(out, "summary", "underruns").value_or("?") << " underruns";
    // While playing, the latency estimate rests on the output's own latency, so it is known.
    EXPECT_EQ(fieldOf(out, "status", "state"), std::optional<std::string>("streaming")) << out;
    EXPECT_NE(fieldOf(out, "status", "latency_ms"), std::optional<std::string>("-1")) << out;
}

INSTANTIATE_TEST_SUITE_P(Modes, ClientPlaysIntoNullSink,
                         ::testing::Values(PlayCase{48000, "-r", 0}, PlayCase{44100, "-b", 3}),
                         [](const auto& info) {
                             return std::string(info.param.mode[1] == 'r' ? "Reliable"
                                                                          : "BestEffort") +
                                    "Rate" + std::to_string(info.param.rateCode) + "At" +
                                    std::to_string(info.param.serverRate);
                         });

TEST_F(ClientEndToEnd, DiscoveryFindsTheServerAndKeysChangeTheStream) {
    ToneServer server(48000, true);
    ASSERT_TRUE(server.started) << server.process.errors();
    std::string port = std::to_string(server.port);

    // Asked by multicast and directly at once, the one server is listed once.
    ChildProcess list({kClient, "--list", "--machine", "--port", port, "-Q", "127.0.0.1"});
    ASSERT_EQ(list.wait(20s), std::optional<int>(0)) << list.errors();
    EXPECT_EQ(list.output(), "server address=127.0.0.1 port=" + port + "\n");

    ChildProcess nobody(
        {kClient, "--list", "--port", std::to_string(freeUdpPort()), "--wait-ms", "300"});
    EXPECT_EQ(nobody.wait(20s), std::optional<int>(2));
    EXPECT_NE(nobody.errors().find("no server answered"), std::string::npos);

    // Without an address the client connects to the server that answered; keys on standard
    // input then change what it asks for.
    ChildProcess client({kClient, "--port", port, "--no-play", "--machine"}, {}, true);
    ASSERT_TRUE(client.waitForOutput("stream_rate=0 ", 20s)) << client.output() << client.errors();
    EXPECT_NE(client.output().find("event found address=127.0.0.1"), std::string::npos);
    client.send("b3");
    ASSERT_TRUE(client.waitForOutput("stream_mode=best-effort stream_rate=3 ", 20s))
        << client.output();
    client.send("q");
    ASSERT_EQ(client.wait(20s), std::optional<int>(0)) << client.errors();
    EXPECT_EQ(number(client.output(), "summary", "lost"), 0u);
}

// The program that reads the client's lines stops reading for longer than the whole stream
// (its pipe holds 4 KB: about ten status lines). The client plays on all the same: its network
// thread never waits for the lines, so nothing runs dry and the session stays; every line comes
// out, in order, once the reader reads again.
TEST_F(ClientEndToEnd, AReaderThatStopsReadingHoldsUpNeitherTheAudioNorTheSession) {
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    ToneServer server;
    ASSERT_TRUE(server.started) << server.process.errors();
    const std::string fifo = (scratch() / "lines").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess client({"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + fifo, kClient, server.address(),
                         "--seconds", "20", "--machine", "--no-keys"},
                        {"PULSE_SERVER=" + pulse.server()});
    int reader = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    std::this_thread::sleep_for(23s);
    std::string out;
    std::thread reading([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;) out.append(chunk, n);
    });
    auto status = client.wait(20s);
    reading.join();
    close(reader);
    ASSERT_EQ(status, std::optional<int>(0)) << out << client.errors();
    EXPECT_EQ(number(out, "summary", "lost"), 0u);
    // The one at the start, when playback waits for its first blocks.
    EXPECT_LE(number(out, "summary", "underruns"), 1u) << out;
    std::uint64_t last = 0, statusLines = 0;
    for (std::size_t at = 0; (at = out.find("status ", at)) != std::string::npos;
         ++at, ++statusLines) {
        std::uint64_t received =
            std::stoull(*fieldOf(out.substr(at, out.find('\n', at) - at), "status", "received"));
        EXPECT_GE(received, last);
        last = received;
    }
    EXPECT_GE(statusLines, 15u);
}

TEST_F(ClientEndToEnd, TenClientsInMixedModesEachGetEveryBlock) {
    ToneServer server;
    ASSERT_TRUE(server.started) << server.process.errors();
    std::vector<std::unique_ptr<ChildProcess>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            kClient, server.address(), i % 2 == 0 ? "--reliable" : "--best-effort", "-c",
            std::to_string(i % 4), "--no-play", "--wav",
            (scratch() / (std::to_string(i) + ".wav")).string(), "--seconds", "3", "--machine",
            "--no-keys", "--name", "client" + std::to_string(i)}));
    }
    for (int i = 0; i < 10; ++i) {
        ChildProcess& client = *clients[i];
        ASSERT_EQ(client.wait(60s), std::optional<int>(0)) << i << client.errors();
        std::string out = client.output();
        SCOPED_TRACE("client " + std::to_string(i) + ":\n" + out);
        // Three seconds are 426 plain or 300 compressed blocks: every one of them arrived, or
        // for best-effort delivery, a very few were dropped by a client starved of CPU.
        std::uint64_t expected = i % 4 == 0 ? 426 : 300;
        std::uint64_t lost = number(out, "summary", "lost");
        EXPECT_GE(number(out, "summary", "received") + lost, expected - 1);
        if (i % 2 == 0) {
            EXPECT_EQ(lost, 0u);
        } else {
            EXPECT_LE(lost, expected / 50);
        }
        EXPECT_EQ(number(out, "summary", "stale"), 0u);
        EXPECT_EQ(number(out, "summary", "invalid"), 0u);
        EXPECT_EQ(number(out, "summary", "restarts"), 0u);
        EXPECT_EQ(fieldOf(out, "status", "stream_rate"), std::to_string(i % 4));
        EXPECT_EQ(fieldOf(out, "status", "stream_mode"),
                  std::string(i % 2 == 0 ? "reliable" : "best-effort"));

        auto wav = readBytes(scratch() / (std::to_string(i) + ".wav"));
        ASSERT_GT(wav.size(), 44u + 3 * 48000 * 4);
        auto left = leftChannel(wav.data() + 44, wav.size() - 44);
        std::vector<float> settled(left.begin() + 4800, left.end());  // past Opus's start
        EXPECT_GT(toneShare(settled, 1000, 48000), 0.9);
    }
}

TEST_F(ClientEndToEnd, ANewerNotSharedClientReplacesANotSharedOneWithValue101) {
    ToneServer server;
    ASSERT_TRUE(server.started) << server.process.errors();
    ChildProcess shared(
        {kClient, server.address(), "--no-play", "--seconds", "6", "--machine", "--no-keys"});
    // A not-shared client is dropped by any later connection, so it must come second.
    ASSERT_TRUE(shared.waitForOutput("state=streaming", 20s)) << shared.output();
    ChildProcess alone(
        {kClient, server.address(), "--not-shared", "--no-play", "--machine", "--no-keys"});
    ASSERT_TRUE(alone.waitForOutput("state=streaming", 20s)) << alone.output() << alone.errors();

    ChildProcess newer({kClient, server.address(), "--not-shared", "--no-play", "--seconds", "1",
                        "-q", "--no-keys"});
    ASSERT_EQ(alone.wait(30s), std::optional<int>(3)) << alone.output() << alone.errors();
    std::string out = alone.output();
    EXPECT_NE(out.find("event disconnected server=" + server.address() +
                       " reason=replaced value=101 text=Disconnected by " + server.address() +
                       ": replaced by another client (value 101)"),
              std::string::npos)
        << out;
    EXPECT_EQ(newer.wait(30s), std::optional<int>(0)) << newer.errors();
    // The shared client was left alone and finished its time.
    ASSERT_EQ(shared.wait(30s), std::optional<int>(0)) << shared.output();
    EXPECT_EQ(shared.output().find("event disconnected"), std::string::npos);
}

TEST_F(ClientEndToEnd, AfterTheServerRestartsTheClientSaysSoAndReconnectsWhenAsked) {
    std::uint16_t port = freeUdpPort();
    auto first = std::make_unique<ToneServer>(48000, false, port);
    ASSERT_TRUE(first->started) << first->process.errors();
    ChildProcess client({kClient, first->address(), "--reconnect", "--no-play", "--seconds", "4",
                         "--machine", "--no-keys"});
    ASSERT_TRUE(client.waitForOutput("state=streaming", 20s)) << client.output();
    first.reset();  // killed without a goodbye, as a crash would

    ChildProcess once(
        {kClient, "127.0.0.1:" + std::to_string(port), "--no-play", "--machine", "--no-keys"});
    EXPECT_EQ(once.wait(30s), std::optional<int>(2));  // no --reconnect: it gives up
    EXPECT_NE(once.output().find("reason=noanswer"), std::string::npos) << once.output();

    ToneServer second(48000, false, port);
    ASSERT_TRUE(second.started) << second.process.errors();
    ASSERT_EQ(client.wait(60s), std::optional<int>(0)) << client.output() << client.errors();
    std::string out = client.output();
    EXPECT_NE(out.find("reason=timeout"), std::string::npos) << out;
    std::size_t connects = 0;
    for (std::size_t at = out.find("event connected"); at != std::string::npos;
         at = out.find("event connected", at + 1)) {
        ++connects;
    }
    EXPECT_GE(connects, 2u) << out;
    EXPECT_EQ(number(out, "summary", "lost"), 0u);
}

}  // namespace
}  // namespace quavelink::test
