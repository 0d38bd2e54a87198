#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "child_process.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "support/temporary_folder.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

// quavelink-server as a user runs it, on the offscreen platform (its message boxes then go to
// its output) with its settings, lock and runtime files in a folder of the test's own. The
// program runs the discovery responder and an ENet host, so only inside a private network.
class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
        made = std::make_unique<test::TemporaryFolder>("quavelink-program");
        folder = made->path().string();
        port = freeUdpPort();
    }

    // With `closedOutput` its standard output is a pipe nobody reads any more.
    std::unique_ptr<ChildProcess> start(const std::string& pulseServer, bool console = true,
                                        bool closedOutput = false) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{SERVER_PROGRAM},
            std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + folder,
                                     "XDG_RUNTIME_DIR=" + folder,
                                     "QUAVELINK_SERVER_PORT=" + std::to_string(port),
                                     "PULSE_SERVER=" + pulseServer,
                                     console ? "QUAVELINK_SERVER_CONSOLE=on" : "NO_CONSOLE=1",
                                     "QUAVELINK_SERVER_NOWARN_48K=1"},
            false, closedOutput);
    }

    std::unique_ptr<test::TemporaryFolder> made;
    std::string folder;
    std::uint16_t port = 0;
};

TEST_F(Program, StreamsTheDefaultDeviceToAClientAndNamesItInTheStatus) {
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    PulsePlayer player("test", {}, stereoTones(1000, 1500, 48000, 2));
    auto server = start(pulse.server());
    ASSERT_TRUE(server->waitForOutput("Initializing server network communication", 20s))
        << server->output();

    TestClient client(port, 1);
    bool asked = false;
    for (int i = 0; i < 3000 && client.messages().size() < 300; ++i) {
        client.service(10);
        if (client.connected() && !asked) {
            client.sendDataRequest(FLAG_RELIABLE, "Kitchen radio");
            asked = true;
        }
    }
    ASSERT_GE(client.messages().size(), 300u) << server->output();
    const std::size_t lead = silentLead(client.messages());
    for (int i = 0; i < 3000 && client.messages().size() < lead + 300; ++i) client.service(10);
    ASSERT_GE(client.messages().size(), lead + 300) << server->output();
    std::vector<float> left, right;
    for (const ReceivedMessage& message : std::vector(
             client.messages().begin() + static_cast<long>(lead), client.messages().end())) {
        ASSERT_EQ(message.payload.size(), 1352u);
        const std::uint8_t* pcm = message.payload.data();
        for (std::size_t i = 0; i + 3 < message.payload.size(); i += 4) {
            left.push_back(static_cast<std::int16_t>(pcm[i] | pcm[i + 1] << 8) / 32768.0f);
            right.push_back(static_cast<std::int16_t>(pcm[i + 2] | pcm[i + 3] << 8) / 32768.0f);
        }
    }
    EXPECT_GT(toneShare(left, 1000, 48000), 0.9);
    EXPECT_GT(toneShare(right, 1500, 48000), 0.9);
    EXPECT_TRUE(server->waitForOutput("Status: Connected to Kitchen radio\n", 5s))
        << server->output();

    client.disconnect();
    for (int i = 0; i < 100; ++i) client.service(10);
    EXPECT_TRUE(server->waitForOutput("Status: Disconnected\n", 5s)) << server->output();
    // The program runs until its window is closed.
    EXPECT_FALSE(server->wait(100ms).has_value());
}

// As `quavelink-server | head -n 3` leaves it once head has its lines: nobody reads the
// output, and the program streams on.
TEST_F(Program, StreamsOnWhenNobodyReadsItsOutput) {
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    PulsePlayer player("test", {}, stereoTones(1000, 1500, 48000, 2));
    auto server = start(pulse.server(), true, true);
    TestClient client(port, 1);
    for (int i = 0; i < 2000 && !client.connected(); ++i) client.service(10);
    ASSERT_TRUE(client.connected()) << server->errors();
    client.sendDataRequest(FLAG_RELIABLE, "listener");
    for (int i = 0; i < 2000 && client.messages().size() < 300; ++i) client.service(10);
    EXPECT_GE(client.messages().size(), 300u) << server->errors();
    EXPECT_FALSE(server->wait(100ms).has_value()) << server->errors();
}

TEST_F(Program, WithoutASoundServerTheWindowSaysSoInWordsAndCapturesWhenOneStarts) {
    // A sound server's address with nobody there yet.
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    pulse.kill(SIGKILL);
    auto server = start(pulse.server());
    // The offscreen platform logs its message boxes instead of waiting on them.
    EXPECT_TRUE(server->waitForOutput(
        "Message box: No PulseAudio or PipeWire server was reached. QuaveLink Server starts "
        "capturing as soon as one runs.",
        20s))
        << server->output();

    // Clients get in meanwhile, and hear the stream once the sound server runs.
    TestClient client(port, 1);
    for (int i = 0; i < 1000 && !client.connected(); ++i) client.service(10);
    ASSERT_TRUE(client.connected()) << server->output();
    client.sendDataRequest(FLAG_RELIABLE, "early");
    ASSERT_TRUE(pulse.restart());
    for (int i = 0; i < 2000 && client.messages().size() < 100; ++i) client.service(10);
    EXPECT_GE(client.messages().size(), 100u) << server->output();
    EXPECT_TRUE(client.connected());
    // The volume and mute controls come with it.
    EXPECT_TRUE(server->waitForOutput("Mixer controls opened now that the sound server runs", 10s))
        << server->output();

    const std::string output = server->output();
    EXPECT_EQ(output.find("PlaySilence thread has died"), std::string::npos) << output;
    EXPECT_EQ(output.find("opening audio input device"), std::string::npos) << output;
    EXPECT_FALSE(server->wait(100ms).has_value()) << output;
}

TEST_F(Program, ASecondCopyIsRefusedAndTheFirstRunsOn) {
    auto first = start("unix:" + folder + "/no-sound-server");
    ASSERT_TRUE(first->waitForOutput("Initializing server network communication", 20s))
        << first->output();
    auto second = start("unix:" + folder + "/no-sound-server");
    std::optional<int> status = second->wait(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    // The first copy's window came up: there is nothing a box would add.
    EXPECT_NE(second->output().find("QuaveLink Server is already running: its window was brought "
                                    "to the front\n"),
              std::string::npos)
        << second->output();
    EXPECT_EQ(second->output().find("Message box:"), std::string::npos) << second->output();
    EXPECT_EQ(second->output().find("Initializing server network communication"),
              std::string::npos);
    // The first copy was asked to bring its window forward.
    EXPECT_TRUE(first->waitForOutput("A second start asked for the window\n", 5s))
        << first->output();
    EXPECT_FALSE(first->wait(100ms).has_value());
}

TEST_F(Program, WithoutTheConsoleEveryLineIsInTheLogWhenTheProgramIsKilled) {
    // The log goes to a file here, as to a journal or a redirection: a block-buffered stream
    // would still hold these lines when the kill comes.
    auto server = start("unix:" + folder + "/no-sound-server", false);
    ASSERT_TRUE(server->waitForOutput("Initializing server network communication", 20s))
        << server->output();
    server->sendSignal(SIGKILL);
    ASSERT_TRUE(server->wait(10s).has_value());
    EXPECT_NE(server->output().find("Initializing server network communication"),
              std::string::npos);
}

}  // namespace
}  // namespace quavelink::test
