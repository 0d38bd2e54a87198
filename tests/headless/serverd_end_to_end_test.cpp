#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

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
    // daemon runs under, such as unshare). With `closedOutput` its standard output is a pipe
    // nobody reads any more.
    void start(const std::vector<std::string>& arguments,
               const std::vector<std::string>& prefix = {}, bool closedOutput = false) {
        std::vector<std::string> command = prefix;
        command.insert(command.end(), {SERVERD_PROGRAM, "--device", "0"});
        command.insert(command.end(), arguments.begin(), arguments.end());
        serverd = std::make_unique<ChildProcess>(
            command,
            std::vector<std::string>{"QUAVELINK_SERVER_PORT=" + std::to_string(port),
                                     "XDG_CONFIG_HOME=" + std::string(folder),
                                     "PULSE_SERVER=" + pulse->server(),
                                     "QUAVELINK_SERVER_NOWARN_48K=1"},
            false, closedOutput);
    }

    // A command prefix that runs the daemon with `mountPoint` a fresh tmpfs mounted with
    // `options`, in a mount namespace of its own (and a user namespace when not root).
    std::vector<std::string> onTmpfs(const std::string& mountPoint, const std::string& options) {
        std::filesystem::create_directory(mountPoint);
        std::vector<std::string> prefix = {"/usr/bin/unshare", "-m"};
        if (::geteuid() != 0) prefix.push_back("-r");
        prefix.insert(prefix.end(),
                      {"sh", "-c", "mount -t tmpfs -o " + options + " tmpfs \"$0\" && exec \"$@\"",
                       mountPoint});
        return prefix;
    }

    // Checks that the WAV file at `path` was finished: its header tells the true length of at
    // least a second of 48000 Hz audio.
    static void expectFinishedWav(const std::string& path) {
        std::vector<std::uint8_t> file = readFile(path);
        ASSERT_GT(file.size(), 44u + 48000);
        EXPECT_EQ(readLittleEndian32(file.data() + 40), file.size() - 44);
        EXPECT_EQ(readLittleEndian32(file.data() + 24), 48000u);
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
        start({"--record", smallDisk + "/" + file, "--kbps", "128"},
              onTmpfs(smallDisk, "size=" + std::to_string(kib) + "k"));
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

// A hang-up (the terminal closed, a service manager's reload) stops the daemon like SIGTERM:
// the recording is finished. The file was there before, and the daemon said it replaced it.
TEST_F(Serverd, AHangUpStopsCleanlyAndFinishesTheRecordingThatReplacedAFile) {
    const std::string wav = std::string(folder) + "/take.wav";
    std::ofstream(wav) << std::string(100000, 'x');
    start({"--record", wav});
    ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();
    EXPECT_NE(serverd->output().find("Replacing the existing file " + wav + "\n"),
              std::string::npos);
    auto client = askForAudio("listener");
    ASSERT_TRUE(receive(*client, 300)) << serverd->output();

    serverd->sendSignal(SIGHUP);
    EXPECT_EQ(serverd->wait(10s), 0);
    EXPECT_NE(serverd->output().find("Stopping on signal 1\n"), std::string::npos);
    EXPECT_NE(serverd->output().find("Recording finished"), std::string::npos);
    expectFinishedWav(wav);
}

// As `quavelink-serverd | head -n 3` leaves it once head has its lines: nobody reads the
// output. The daemon streams and records on, and finishes its recording on SIGTERM.
TEST_F(Serverd, StreamsAndRecordsOnWhenNobodyReadsItsOutput) {
    const std::string wav = std::string(folder) + "/take.wav";
    start({"--record", wav}, {}, true);
    auto client = askForAudio("listener");
    ASSERT_TRUE(receive(*client, 300)) << serverd->errors();
    EXPECT_FALSE(serverd->wait(0s).has_value());
    // The record thread writes every 200 ms: wait for a second of audio in the file.
    auto size = [&] {
        std::error_code missing;
        auto bytes = std::filesystem::file_size(wav, missing);
        return missing ? 0 : bytes;
    };
    for (int i = 0; i < 1000 && size() < 44 + 4 * 48000; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(serverd->stop(), 0) << serverd->errors();
    expectFinishedWav(wav);
}

TEST_F(Serverd, ARecordingThatCannotBeOpenedStopsItAtStartWithTheReason) {
    const std::string readOnly = std::string(folder) + "/read-only";
    const std::string wav = readOnly + "/take.wav";
    start({"--record", wav}, onTmpfs(readOnly, "ro"));
    EXPECT_EQ(serverd->wait(20s), 1);
    EXPECT_NE(serverd->errors().find("quavelink-serverd: Could not open file " + wav +
                                     " for writing: Read-only file system\n"),
              std::string::npos)
        << serverd->errors();
    EXPECT_EQ(serverd->output().find("Capturing at"), std::string::npos) << serverd->output();
}

TEST_F(Serverd, StreamsOnAfterBeingStoppedAndContinuedAndEndsOnlyOnAStopSignal) {
    start({});
    auto client = askForAudio("listener");
    ASSERT_TRUE(receive(*client, 100)) << serverd->output();

    // A job-control stop interrupts the wait for a stop signal without being one.
    ASSERT_TRUE(serverd->pause());
    serverd->resume();
    EXPECT_FALSE(serverd->wait(1s).has_value()) << serverd->output();
    std::size_t before = client->messages().size();
    EXPECT_TRUE(receive(*client, before + 100)) << serverd->output();

    EXPECT_EQ(serverd->stop(), 0);
    EXPECT_NE(serverd->output().find("Stopping on signal 15"), std::string::npos)
        << serverd->output();
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

// A fault of the captured device while a client listens, and what the headless server does.
struct DeviceFault {
    const char* name;
    const char* device;  // --device of the first run
    //! What the fault does to the daemon (and its players); returns false when it could not.
    bool (*cause)(PulseDaemon& pulse);
    //! The log line with which the capture ends; empty when the capture follows the fault.
    const char* ending;
    const char* newDevice;  // --device of the second run
    const char* newRate;    // what the second run captures at
};

void PrintTo(const DeviceFault& fault, std::ostream* out) { *out << fault.name; }

int moduleOfSink(PulseDaemon& pulse, const std::string& sink) {
    std::istringstream lines(pulse.pactlOutput("list short modules").value_or(""));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("sink_name=" + sink + " ") != std::string::npos) return std::stoi(line);
    }
    return -1;
}

bool unloadSink(PulseDaemon& pulse, const std::string& sink) {
    return pulse.pactl("unload-module " + std::to_string(moduleOfSink(pulse, sink))) == 0;
}

class ServerdDeviceFault : public ::testing::TestWithParam<DeviceFault> {};

// The daemon (with its keep-alive) captures, a client listens, the device fails. Nothing
// crashes; the capture ends with its line (or follows); the keep-alive, which stays on the sink
// it started on, reports its end (on PulseAudio); the program still stops cleanly on SIGTERM;
// and the next run, given a device, streams again.
TEST_P(ServerdDeviceFault, TheCaptureEndsAsDesignedAndANewRunStreamsAgain) {
    if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
    const DeviceFault& fault = GetParam();
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000 "
                       "sink_properties=device.description=Test48k",
                       "module-null-sink sink_name=other rate=48000 "
                       "sink_properties=device.description=Other48k"});
    ASSERT_TRUE(pulse.ready());
    ASSERT_EQ(pulse.pactl("set-default-sink test"), 0);
    char folder[] = "/tmp/quavelink-serverd-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::uint16_t port = freeUdpPort();
    const std::vector<std::string> environment = {
        "QUAVELINK_SERVER_PORT=" + std::to_string(port), "XDG_CONFIG_HOME=" + std::string(folder),
        "PULSE_SERVER=" + pulse.server(), "QUAVELINK_SERVER_NOWARN_48K=1"};
    auto listen = [&](std::size_t count) {
        TestClient client(port, 1 | CONNECT_FLAG_SHARED);
        bool asked = false;
        for (int i = 0; i < 2000 && client.messages().size() < count; ++i) {
            client.service(10);
            if (client.connected() && !asked) {
                client.sendDataRequest(FLAG_RELIABLE, "e2e");
                asked = true;
            }
        }
        return client.messages();
    };

    {
        ChildProcess serverd({SERVERD_PROGRAM, "--device", fault.device}, environment);
        ASSERT_TRUE(serverd.waitForOutput("Capturing at 48.0 kHz", 20s)) << serverd.output();
        TestClient client(port, 1 | CONNECT_FLAG_SHARED);
        for (int i = 0; i < 1000 && client.messages().size() < 100; ++i) {
            client.service(10);
            if (client.connected() && client.messages().empty()) {
                client.sendDataRequest(FLAG_RELIABLE, "e2e");
            }
        }
        ASSERT_GE(client.messages().size(), 100u) << serverd.output();

        ASSERT_TRUE(fault.cause(pulse));
        if (*fault.ending != '\0') {
            EXPECT_TRUE(serverd.waitForOutput(fault.ending, 20s)) << serverd.output();
        } else {
            // Followed: the listening client goes on receiving.
            std::size_t before = client.messages().size();
            for (int i = 0; i < 1000 && client.messages().size() < before + 300; ++i) {
                client.service(10);
            }
            EXPECT_GE(client.messages().size(), before + 300) << serverd.output();
        }
        if (pulse.isPipeWire() && pulse.running()) {
            // WirePlumber moves the keep-alive to the new default although it asked to stay on
            // its sink: there it lives on. Only the end of the sound server ends it.
            EXPECT_FALSE(serverd.waitForOutput("Message: PlaySilence thread has died.", 1s))
                << serverd.output();
        } else {
            EXPECT_TRUE(serverd.waitForOutput("Message: PlaySilence thread has died.", 20s))
                << serverd.output();
        }
        EXPECT_FALSE(serverd.wait(0ms).has_value()) << "the program ended:\n" << serverd.output();
        if (!pulse.running()) {
            ASSERT_TRUE(pulse.restart());
        }
        EXPECT_EQ(serverd.stop(), 0) << serverd.output();
    }

    ChildProcess again({SERVERD_PROGRAM, "--device", fault.newDevice}, environment);
    ASSERT_TRUE(again.waitForOutput(std::string("Capturing at ") + fault.newRate, 20s))
        << again.output();
    auto messages = listen(100);
    ASSERT_GE(messages.size(), 100u) << again.output();
    const bool is48k = std::string(fault.newRate) == "48.0 kHz";
    EXPECT_EQ((messages.back().header.flags & FLAG_RATE_48K) != 0, is48k);
    EXPECT_EQ(again.stop(), 0);
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerdDeviceFault,
    ::testing::Values(
        // The default device follows a removed sink to the new default of the same format.
        DeviceFault{"DefaultSinkRemoved", "0",
                    [](PulseDaemon& pulse) { return unloadSink(pulse, "test"); }, "", "0",
                    "48.0 kHz"},
        // A fixed entry follows nothing: the reset after the gap finds no device.
        DeviceFault{"ChosenSinkRemoved", "Test48k",
                    [](PulseDaemon& pulse) { return unloadSink(pulse, "test"); },
                    "Unable to reset audio stream after consecutive empty buf: 88890004",
                    "Other48k", "48.0 kHz"},
        // The default device followed to a sink of another format: the switch ends the capture.
        DeviceFault{"DefaultSinkReloadedAt44100", "0",
                    // When the default goes, the only other sink runs at 44100 Hz.
                    [](PulseDaemon& pulse) {
                        return pulse.pactl("load-module module-null-sink sink_name=cd "
                                           "rate=44100") == 0 &&
                               unloadSink(pulse, "other") && unloadSink(pulse, "test") &&
                               pulse.pactl("load-module module-null-sink sink_name=test "
                                           "rate=44100") == 0 &&
                               pulse.pactl("set-default-sink test") == 0;
                    },
                    "New mix format doesn't match old mix format.  Aborting.", "0", "44.1 kHz"},
        // Without the sound server even the reset fails; the entry opens again once it is back.
        DeviceFault{"SoundServerKilled", "Test48k",
                    [](PulseDaemon& pulse) {
                        pulse.kill(SIGKILL);
                        return true;
                    },
                    "Unable to reset audio stream after consecutive empty buf: 88890010",
                    "Test48k", "48.0 kHz"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quavelink::test
