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
#include "temporary_folder.h"
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
    }
    void TearDown() override { serverd.reset(); }

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
                                     "XDG_CONFIG_HOME=" + folder.path().string(),
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
    // must say `message` once, with the system's reason on standard error, stream on, and end
    // with a status that says the recording failed.
    void recordOntoAFullDisk(const std::string& file, int kib, const std::string& message) {
        const std::string smallDisk = folder.file("small");
        start({"--record", smallDisk + "/" + file, "--kbps", "128"},
              onTmpfs(smallDisk, "size=" + std::to_string(kib) + "k"));
        ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();
        auto client = askForAudio("listener");
        ASSERT_TRUE(serverd->waitForOutput("Message: " + message, 10s)) << serverd->output();
        // Two more seconds of audio after the disk filled up: the capture never waits for it.
        std::size_t before = client->messages().size();
        ASSERT_TRUE(receive(*client, before + 284)) << serverd->output();

        EXPECT_EQ(serverd->stop(), 1);
        EXPECT_EQ(linesStartingWith(serverd->output(), "Message: "),
                  std::vector<std::string>{"Message: " + message});
        EXPECT_NE(serverd->output().find("Recording finished"), std::string::npos);
        EXPECT_NE(serverd->errors().find(message + " (" + smallDisk + "/" + file +
                                         "): No space left on device\n"),
                  std::string::npos)
            << serverd->errors();
    }

    std::optional<PulseDaemon> pulse;
    std::unique_ptr<PulsePlayer> player;
    TemporaryFolder folder{"quavelink-serverd"};
    const std::uint16_t port = freeUdpPort();
    std::unique_ptr<ChildProcess> serverd;
};

TEST_F(Serverd, StreamsTheSinkAndFinishesItsRecordingOnSigterm) {
    const std::string wav = folder.file("take.wav");
    start({"--record", wav});
    ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();

    auto client = askForAudio("e2e");
    ASSERT_TRUE(receive(*client, 300)) << serverd->output();
    const std::size_t lead = silentLead(client->messages());
    ASSERT_TRUE(receive(*client, lead + 300)) << serverd->output();
    std::vector<float> left, right;
    for (const ReceivedMessage& m : std::vector(
             client->messages().begin() + static_cast<long>(lead), client->messages().end())) {
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
    std::size_t silent = 44;
    while (silent + 4 <= file.size() && std::all_of(file.begin() + static_cast<long>(silent),
                                                    file.begin() + static_cast<long>(silent) + 4,
                                                    [](std::uint8_t b) { return b == 0; })) {
        silent += 4;
    }
    EXPECT_GT(toneShare(leftChannel(file.data() + silent, file.size() - silent), 1000, 48000), 0.9);
}

// A hang-up (the terminal closed, a service manager's reload) stops the daemon like SIGTERM:
// the recording is finished. The file was there before, and the daemon said it replaced it.
TEST_F(Serverd, AHangUpStopsCleanlyAndFinishesTheRecordingThatReplacedAFile) {
    const std::string wav = folder.file("take.wav");
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

// Every signal that would end the program ends it as SIGTERM does, its recording finished.
TEST_F(Serverd, EverySignalThatWouldEndItFinishesTheRecording) {
    for (int signal : {SIGUSR1, SIGUSR2, SIGQUIT, SIGRTMIN + 2}) {
        SCOPED_TRACE(signal);
        const std::string wav = folder.file("take" + std::to_string(signal) + ".wav");
        start({"--record", wav});
        ASSERT_TRUE(serverd->waitForOutput("Recording to", 20s)) << serverd->output();
        std::error_code missing;
        for (int i = 0; i < 1000 && std::filesystem::file_size(wav, missing) < 44 + 4 * 48000;
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
        serverd->sendSignal(signal);
        EXPECT_EQ(serverd->wait(10s), 0);
        EXPECT_NE(serverd->output().find("Recording finished"), std::string::npos);
        expectFinishedWav(wav);
    }
}

// As `quavelink-serverd | head -n 3` leaves it once head has its lines: nobody reads the
// output. The daemon streams and records on, and finishes its recording on SIGTERM.
TEST_F(Serverd, StreamsAndRecordsOnWhenNobodyReadsItsOutput) {
    const std::string wav = folder.file("take.wav");
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
    const std::string readOnly = folder.file("read-only");
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

// A fault of the captured device or of the sound server while a client listens.
struct DeviceFault {
    const char* name;
    const char* device;  // --device
    //! What the fault does to the daemon; returns false when it could not.
    bool (*cause)(PulseDaemon& pulse);
    //! A line the server prints after the fault; empty when the capture just follows it.
    const char* noticed;
    //! What puts things back (may be null), and the line that says the server saw it.
    bool (*repair)(PulseDaemon& pulse);
    const char* repaired;
    const char* rate;  // what the capture runs at in the end
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

bool killSoundServer(PulseDaemon& pulse) {
    pulse.kill(SIGKILL);
    return true;
}

bool restartSoundServer(PulseDaemon& pulse) {
    return pulse.restart() && pulse.pactl("set-default-sink test") == 0;
}

class ServerdDeviceFault : public ::testing::TestWithParam<DeviceFault> {};

// The daemon captures, a client listens, something fails and is put back. The capture comes
// back by itself, the client stays connected throughout and hears the stream again, the
// keep-alive lives on, and the program stops cleanly.
TEST_P(ServerdDeviceFault, TheCaptureComesBackByItselfWhileTheClientStaysConnected) {
    if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
    const DeviceFault& fault = GetParam();
    PulseDaemon pulse(
        {"module-null-sink sink_name=test rate=48000 "
         "sink_properties=device.description=Test48k",
         "module-null-sink sink_name=other rate=48000 "
         "sink_properties=device.description=Other48k"});
    ASSERT_TRUE(pulse.ready());
    ASSERT_EQ(pulse.pactl("set-default-sink test"), 0);
    TemporaryFolder folder("quavelink-serverd");
    const std::uint16_t port = freeUdpPort();
    const std::string wav = (folder.path() / "take.wav").string();
    ChildProcess serverd({SERVERD_PROGRAM, "--device", fault.device, "--record", wav},
                         {"QUAVELINK_SERVER_PORT=" + std::to_string(port),
                          "XDG_CONFIG_HOME=" + folder.path().string(),
                          "PULSE_SERVER=" + pulse.server(), "QUAVELINK_SERVER_NOWARN_48K=1"});
    ASSERT_TRUE(serverd.waitForOutput("Capturing at 48.0 kHz", 20s)) << serverd.output();
    ASSERT_TRUE(serverd.waitForOutput("Recording to " + wav + " at 48000 Hz", 20s))
        << serverd.output();
    TestClient client(port, 1 | CONNECT_FLAG_SHARED);
    // Up to `count` messages, for at most 30 s.
    auto receive = [&](std::size_t count) {
        for (int i = 0; i < 3000 && client.messages().size() < count; ++i) {
            client.service(10);
            if (client.connected() && client.messages().empty() && i % 50 == 0) {
                client.sendDataRequest(FLAG_RELIABLE, "e2e");
            }
        }
        return client.messages().size() >= count;
    };
    ASSERT_TRUE(receive(100)) << serverd.output();

    ASSERT_TRUE(fault.cause(pulse));
    if (*fault.noticed != '\0') {
        // The client is serviced meanwhile, as a listening client would be.
        for (int i = 0; i < 2000 && !serverd.waitForOutput(fault.noticed, 0ms); ++i) {
            client.service(10);
        }
        EXPECT_TRUE(serverd.waitForOutput(fault.noticed, 0ms)) << serverd.output();
    }
    if (fault.repair) {
        ASSERT_TRUE(fault.repair(pulse));
        for (int i = 0; i < 2000 && !serverd.waitForOutput(fault.repaired, 0ms); ++i) {
            client.service(10);
        }
        EXPECT_TRUE(serverd.waitForOutput(fault.repaired, 0ms)) << serverd.output();
    }
    const std::size_t before = client.messages().size();
    EXPECT_TRUE(receive(before + 300)) << serverd.output();
    EXPECT_TRUE(client.connected());
    const bool is48k = std::string(fault.rate) == "48.0 kHz";
    ASSERT_FALSE(client.messages().empty());
    EXPECT_EQ((client.messages().back().header.flags & FLAG_RATE_48K) != 0, is48k);

    EXPECT_EQ(serverd.stop(), 0) << serverd.output();
    const std::string output = serverd.output();
    EXPECT_EQ(output.find("Status: Disconnected"), std::string::npos) << output;
    EXPECT_EQ(output.find("PlaySilence thread has died"), std::string::npos) << output;
    // The quantum is told when it changes, not for every frame more or less a capture at another
    // rate than the graph's gets from cycle to cycle.
    std::size_t toldQuanta = 0;
    for (std::size_t at = 0;
         (at = output.find("PipeWire runs the capture at", at)) != std::string::npos; ++at) {
        ++toldQuanta;
    }
    EXPECT_LE(toldQuanta, 4u) << output;
    // The recording is one finished file at the rate it started with; what came at another
    // rate went into it converted.
    std::vector<std::uint8_t> file = readFile(wav);
    ASSERT_GT(file.size(), 44u);
    EXPECT_EQ(readLittleEndian32(file.data() + 24), 48000u);
    EXPECT_EQ(readLittleEndian32(file.data() + 40), file.size() - 44);
    EXPECT_EQ(output.find("The capture runs at 44100 Hz now; the recording goes on at its 48000 "
                          "Hz, converted\n") != std::string::npos,
              !is48k)
        << output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerdDeviceFault,
    ::testing::Values(
        DeviceFault{"SoundServerRestartedUnderTheChosenSink", "Test48k", &killSoundServer,
                    "Not capturing: No sound server", &restartSoundServer, "Capturing again",
                    "48.0 kHz"},
        DeviceFault{"SoundServerRestartedUnderTheDefaultDevice", "0", &killSoundServer,
                    "Not capturing: No sound server", &restartSoundServer, "Capturing again",
                    "48.0 kHz"},
        // The default device stands in while the chosen sink is away, and it is taken back.
        DeviceFault{"CapturedSinkRemovedAndAddedBack", "Test48k",
                    [](PulseDaemon& pulse) { return unloadSink(pulse, "test"); },
                    "Capturing the default device while the chosen one is gone",
                    [](PulseDaemon& pulse) {
                        return pulse.pactl(
                                   "load-module module-null-sink sink_name=test "
                                   "rate=48000") == 0;
                    },
                    "The chosen device is back", "48.0 kHz"},
        DeviceFault{"DefaultSinkChangedTwiceQuickly", "0",
                    [](PulseDaemon& pulse) {
                        return pulse.pactl("set-default-sink other") == 0 &&
                               pulse.pactl("set-default-sink test") == 0;
                    },
                    "", nullptr, "", "48.0 kHz"},
        // The new default runs at another rate: the stream switch refuses it, and the capture
        // started again opens it at its own rate.
        DeviceFault{"DefaultSinkReloadedAt44100", "0",
                    [](PulseDaemon& pulse) {
                        return pulse.pactl(
                                   "load-module module-null-sink sink_name=cd "
                                   "rate=44100") == 0 &&
                               unloadSink(pulse, "other") && unloadSink(pulse, "test") &&
                               pulse.pactl(
                                   "load-module module-null-sink sink_name=test "
                                   "rate=44100") == 0 &&
                               pulse.pactl("set-default-sink test") == 0;
                    },
                    "New mix format doesn't match old mix format.  Aborting.", nullptr, "",
                    "44.1 kHz"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quavelink::test
