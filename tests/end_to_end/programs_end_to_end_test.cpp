#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "child_process.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "temporary_folder.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

struct ServerForm {
    const char* name;
    const char* program;
    const char* ready;  // what it prints once it captures
};

void PrintTo(const ServerForm& form, std::ostream* out) { *out << form.name; }

class ProgramsEndToEnd : public ::testing::TestWithParam<ServerForm> {};

std::vector<float> channel(const std::string& raw, int which) {
    std::vector<float> samples;
    for (std::size_t i = static_cast<std::size_t>(which) * 2; i + 1 < raw.size(); i += 4) {
        samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(raw[i]) |
                                                    static_cast<std::uint8_t>(raw[i + 1]) << 8));
    }
    return samples;
}

// Share of 100 ms pieces of the sounding part of `samples` that hold `frequency`.
double tonalShare(const std::vector<float>& samples, double frequency) {
    auto loud = [](float x) { return x > 500 || x < -500; };
    auto first = std::find_if(samples.begin(), samples.end(), loud);
    auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base();
    if (last - first < 20 * 4800) return 0.0;
    // The client's playout may play up to 0.2 % slower or faster while it adapts its level.
    return tonalPieceShare(std::vector<float>(first, last), frequency, 48000, 4800, 0.002);
}

TEST_P(ProgramsEndToEnd, TheClientFindsTheServerAndPlaysWhatItCaptures) {
    // Both programs bind every address and answer multicast: only in a namespace of our own.
    if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
    PulseDaemon pulse(
        {"module-null-sink sink_name=a rate=48000", "module-null-sink sink_name=b rate=48000"});
    ASSERT_TRUE(pulse.ready());
    ASSERT_EQ(pulse.pactl("set-default-sink a"), 0);
    PulsePlayer player("a", {}, stereoTones(1000, 1500, 48000, 2));

    TemporaryFolder folder("quavelink-programs");
    const std::uint16_t port = freeUdpPort();
    const std::string pulseServer = "PULSE_SERVER=" + pulse.server();
    ChildProcess server(
        {GetParam().program},
        {"QUAVELINK_SERVER_PORT=" + std::to_string(port), pulseServer,
         "XDG_CONFIG_HOME=" + folder.path().string(), "XDG_RUNTIME_DIR=" + folder.path().string(),
         "QT_QPA_PLATFORM=offscreen", "QUAVELINK_SERVER_NOWARN_48K=1",
         // The window prints its log only with the console switch on.
         "QUAVELINK_SERVER_CONSOLE=1"});
    ASSERT_TRUE(server.waitForOutput(GetParam().ready, 20s)) << server.output() << server.errors();

    ChildProcess monitor({"/usr/bin/parec", "-d", "b.monitor", "--raw", "--format=s16le",
                          "--rate=48000", "--channels=2", "--latency-msec=100"},
                         {pulseServer});
    // No host given: the client asks the network, and the server's discovery answers.
    ChildProcess client({CLIENT_PROGRAM, "--port", std::to_string(port), "--device", "b", "-c", "3",
                         "--seconds", "4", "--machine", "--no-keys", "--name", "e2e"},
                        {pulseServer});
    ASSERT_EQ(client.wait(40s), std::optional<int>(0)) << client.output() << client.errors();
    std::this_thread::sleep_for(500ms);
    monitor.stop();
    EXPECT_TRUE(server.waitForOutput("Status: Connected to e2e", 5s)) << server.output();
    EXPECT_EQ(fieldOf(client.output(), "summary", "lost"), std::optional<std::string>("0"));

    const std::string raw = monitor.output();
    // A loaded machine may still let a sink run dry for a moment; most pieces must hold it.
    EXPECT_GE(tonalShare(channel(raw, 0), 1000), kTonalPieceBar)
        << raw.size() / 4 << " frames recorded";
    EXPECT_GE(tonalShare(channel(raw, 1), 1500), kTonalPieceBar);
    server.stop();
}

INSTANTIATE_TEST_SUITE_P(BothServers, ProgramsEndToEnd,
                         ::testing::Values(ServerForm{"Window", SERVER_PROGRAM, "Mix format:"},
                                           ServerForm{"Headless", SERVERD_PROGRAM, "Capturing at"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quavelink::test
