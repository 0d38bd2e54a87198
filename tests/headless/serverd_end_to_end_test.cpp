#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>

#include "child_process.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of `output` that start with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& output, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

// The daemon runs the discovery responder, which joins a multicast group: only in a namespace
// of the test's own. A private sound server's null sink plays a tone for it to capture.
class Serverd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
        pulse.emplace(std::vector<std::string>{"module-null-sink sink_name=test rate=48000"});
        ASSERT_TRUE(pulse->ready());
        player = std::make_unique<PulsePlayer>("test", PulsePlayer::Options{},
                                               stereoTones(1000, 1500, 48000, 2));
        ASSERT_NE(mkdtemp(folder), nullptr);
    }
    void TearDown() override {
        serverd.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Starts the daemon on the sink's monitor with `arguments` after `prefix` (a command the
    // daemon runs under, such as unshare).
    void start(const std::vector<std::string>& arguments,
               const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> command = prefix;
        command.insert(command.end(), {SERVERD_PROGRAM, "--device", "0"});
        command.insert(command.end(), arguments.begin(), arguments.end());
        serverd = std::make_unique<ChildProcess>(
            command, std::vector<std::string>{"QUAVELINK_SERVER_PORT=" + std::to_string(port),
                                              "XDG_CONFIG_HOME=" + std::string(folder),
                                              "PULSE_SERVER=" + pulse->server(),
                                              "QUAVELINK_SERVER_NOWARN_48K=1"});
    }

    // A shared client that asks for plain audio under `name`.
    std::unique_ptr<TestClient> askForAudio(const std::string& name) {
        auto client = std::make_unique<TestClient>(port, 1 | CONNECT_FLAG_SHARED);
        for (int i = 0; i < 1000 && !client->connected(); ++i) client->service(10);
        if (client->connected()) client->sendDataRequest(FLAG_RELIABLE, name);
        return client;
    }

    // Services `client` until it holds `count` audio messages; false after 10 s without.
    static bool receive(TestClient& client, std::size_t count) {
        for (int i = 0; i < 1000 && client.messages().size() < count; ++i) client.service(10);
        return client.messages().size() >= count;
    }

    // Records onto a tmpfs of `kib` KiB that the recording fills within a second: the daemon
    // must say `message` once and stream on.
    void recordOntoAFullDisk(const std::string& file, int kib, const std::string& message) {
        const std::string smallDisk = std::string(folder) + "/small";
        std::filesystem::create_directory(smallDisk);
        std::vector<std::string> onSmallDisk = {"/usr/bin/unshare", "-m"};
        if (::geteuid() != 0) onSmallDisk.push_back("-r");
        onSmallDisk.insert(onSmallDisk.end(), {"sh", "-c",
                                               "mount -t tmpfs -o size=" + std::to_string(kib) +
                                                   "k tmpfs \"$0\" && exec \"$@\"",
                                               smallDisk});
        start({"--record", smallDisk + "/" + file, "--kbps", "128"}, onSmallDisk);
        ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();
        auto client = askForAudio("listener");
        ASSERT_TRUE(serverd->waitForOutput("Message: " + message, 10s)) << serverd->output();
        // Two more seconds of audio after the disk filled up: the capture never waits for it.
        std::size_t before = client->messages().size();
        ASSERT_TRUE(receive(*client, before + 284)) << serverd->output();

        EXPECT_EQ(serverd->stop(), 0);
        EXPECT_EQ(linesStartingWith(serverd->output(), "Message: "),
                  std::vector<std::string>{"Message: " + message});
        EXPECT_NE(serverd->output().find("Recording finished"), std::string::npos);
    }

    std::optional<PulseDaemon> pulse;
    std::unique_ptr<PulsePlayer> player;
    char folder[32] = "/tmp/quavelink-serverd-XXXXXX";
    const std::uint16_t port = freeUdpPort();
    std::unique_ptr<ChildProcess> serverd;
};

TEST_F(Serverd, StreamsTheSinkAndFinishesItsRecordingOnSigterm) {
    const std::string wav = std::string(folder) + "/take.wav";
    start({"--record", wav});
    ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();

    auto client = askForAudio("e2e");
    ASSERT_TRUE(receive(*client, 300)) << serverd->output();
    std::vector<float> left, right;
    for (const ReceivedMessage& m : client->messages()) {
        ASSERT_EQ(m.payload.size(), 1352u);
        for (std::size_t i = 0; i + 3 < m.payload.size(); i += 4) {
            left.push_back(static_cast<std::int16_t>(m.payload[i] | m.payload[i + 1] << 8));
            right.push_back(static_cast<std::int16_t>(m.payload[i + 2] | m.payload[i + 3] << 8));
        }
    }
    EXPECT_GT(toneShare(left, 1000, 48000), 0.9);
    EXPECT_GT(toneShare(right, 1500, 48000), 0.9);
    EXPECT_TRUE(serverd->waitForOutput("Status: Connected to e2e", 5s)) << serverd->output();

    EXPECT_EQ(serverd->stop(), 0);
    EXPECT_NE(serverd->output().find("Recording finished"), std::string::npos);
    // The file's header tells its true length, and the file holds the tone.
    std::vector<std::uint8_t> file = readFile(wav);
    ASSERT_GT(file.size(), 44u + 48000);
    EXPECT_EQ(readLittleEndian32(file.data() + 40), file.size() - 44);
    EXPECT_EQ(readLittleEndian32(file.data() + 24), 48000u);
    EXPECT_GT(toneShare(leftChannel(file.data() + 44, file.size() - 44), 1000, 48000), 0.9);
}

TEST_F(Serverd, AWavRecordingThatFillsItsDiskSaysSoOnceWhileTheClientGetsAudioOn) {
    recordOntoAFullDisk("take.wav", 64, "WAV write error");
}

TEST_F(Serverd, AnMp3RecordingThatFillsItsDiskSaysSoOnceWhileTheClientGetsAudioOn) {
    void* lame = dlopen("libmp3lame.so.0", RTLD_LAZY | RTLD_LOCAL);
    if (lame == nullptr) GTEST_SKIP() << "libmp3lame.so.0 cannot be loaded";
    dlclose(lame);
    recordOntoAFullDisk("take.mp3", 8, "MP3 encode/write error");
}

TEST_F(Serverd, PrintsAClientsNameAsOneLineOfPlainText) {
    start({});
    ASSERT_TRUE(serverd->waitForOutput("Capturing at", 20s)) << serverd->output();
    // Markup, a terminal's escape, line breaks, a byte that is no UTF-8, then more than the
    // 255 bytes kept.
    std::string name = "<b>x</b><img src=http://example.invalid/a.png>\x1b[2J\r\nme\t\x7f\xff";
    const std::string kept = "<b>x</b><img src=http://example.invalid/a.png>?[2J??me???";
    name += std::string(300, 'n');
    auto client = askForAudio(name);
    ASSERT_TRUE(receive(*client, 10)) << serverd->output();
    const std::string expected =
        "Status: Connected to " + kept + std::string(255 - (name.size() - 300), 'n');
    ASSERT_TRUE(serverd->waitForOutput(expected + "\n", 5s)) << serverd->output();

    serverd->stop();
    const std::string output = serverd->output();
    EXPECT_TRUE(std::none_of(output.begin(), output.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || byte >= 0x7F;
    })) << output;
}

}  // namespace
}  // namespace quavelink::test
