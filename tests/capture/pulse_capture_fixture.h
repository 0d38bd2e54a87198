#pragma once

// The real loop for the capture tests: a private PulseAudio daemon with three sinks and a
// source, the capture engine over the PulseAudio backend, the streaming core, and ENet clients
// on 127.0.0.1.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <stop_token>
#include <thread>

#include "capture/audio_startup.h"
#include "capture/stream_server_block_sink.h"
#include "platform/audio/audio_backend.h"
#include "support/fake_record_sink.h"
#include "support/fake_server_window.h"
#include "support/log_capture.h"
#include "support/pulse_daemon.h"
#include "support/pulse_player.h"
#include "support/test_client.h"
#include "support/tone.h"

namespace quavelink::test {

using namespace std::chrono_literals;

//! Hands every block on to the streaming core and counts them, so that a test can tell from
//! its own thread whether a capture still delivers. Capture thread; the count from any thread.
class CountingBlockSink : public AudioBlockSink {
  public:
    explicit CountingBlockSink(StreamServer& server) : server(server) {}
    void processAudioBlock(std::uint8_t* block, int length) override {
        server.processAudioBlock(block, length);
        blocks.fetch_add(1, std::memory_order_release);
    }
    void captureEnded() override { server.releaseHost(); }
    std::uint64_t count() const { return blocks.load(std::memory_order_acquire); }

  private:
    StreamServer& server;
    std::atomic<std::uint64_t> blocks{0};
};

inline const std::vector<std::string> kModules = {
    "module-null-sink sink_name=test rate=48000 sink_properties=device.description=Test48k",
    "module-null-sink sink_name=other rate=48000 sink_properties=device.description=Other48k",
    "module-null-sink sink_name=cd rate=44100 sink_properties=device.description=Cd44k",
    "module-null-source source_name=mic rate=48000 description=Mic48k",
};

inline std::vector<float> channelOf(const std::vector<float>& stereo, int side) {
    std::vector<float> out;
    for (std::size_t i = side; i < stereo.size(); i += 2) out.push_back(stereo[i]);
    return out;
}

// The server, the capture over PulseAudio and a daemon with three sinks and a source.
class PulseCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QUAVELINK_SERVER_NOSILENCE", "1", 1);
        ASSERT_TRUE(daemon.ready()) << "pulseaudio did not start";
        ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
        audioSystem = audio::CreateAudioSystem(chooseSoundServerApi());
        endpoints = std::make_unique<EndpointList>(*audioSystem);
        ASSERT_EQ(endpoints->findEndpoint(0), audio::kOk);
        ASSERT_TRUE(server.start(port));
        startup =
            std::make_unique<AudioStartup>(*endpoints, sink, window, channels,
                                           Warn48kSetting{.shownBefore = true, .recordShown = {}});
    }

    void TearDown() override {
        stopDeviceLoop();
        startup.reset();
        players.clear();
        ::unsetenv("QUAVELINK_SERVER_NOSILENCE");
    }

    // The server thread's device loop, as the window and the headless server run it, with a
    // shorter period; the test makes the choices through the fake window.
    void startDeviceLoop(int index) {
        window.choice.choose(index);
        deviceLoop = std::jthread([this](std::stop_token stop) {
            runDeviceLoop(server, *startup, window, stop, std::chrono::milliseconds(100));
        });
    }
    void stopDeviceLoop() {
        if (!deviceLoop.joinable()) return;
        deviceLoop.request_stop();
        deviceLoop.join();
    }

    // The index of the module that made sink `sinkName`; -1 when there is none.
    int moduleOf(const std::string& sinkName) {
        auto modules = daemon.pactlOutput("list short modules");
        if (!modules) return -1;
        std::istringstream lines(*modules);
        for (std::string line; std::getline(lines, line);) {
            std::string key = "sink_name=" + sinkName;
            auto at = line.find(key);
            if (at == std::string::npos) continue;
            auto after = at + key.size();
            if (after < line.size() && line[after] != ' ' && line[after] != '\t') continue;
            return std::stoi(line);
        }
        return -1;
    }

    // Services `clients` every 5 ms until `done` holds or `limit` passes; returns `done()`.
    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                          std::initializer_list<TestClient*> clients = {}) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            for (TestClient* client : clients) client->service(0);
            std::this_thread::sleep_for(5ms);
        }
        return done();
    }

    // Whether the capture delivers blocks again (one more than now, within `limit`).
    bool captureRuns(std::chrono::milliseconds limit,
                     std::initializer_list<TestClient*> clients = {}) {
        std::uint64_t seen = sink.count();
        return waitUntil([&] { return sink.count() > seen + 20; }, limit, clients);
    }

    int indexOf(const std::string& name) {
        for (int i = 1; i < EndpointList::kMaxListEntries; ++i) {
            auto text = endpoints->endpointName(i);
            if (!text) break;
            if (*text == name) return i;
        }
        return -1;
    }

    void play(const std::string& sinkName, double left, double right, int rate = 48000) {
        PulsePlayer::Options options;
        options.rate = rate;
        players.push_back(
            std::make_unique<PulsePlayer>(sinkName, options, stereoTones(left, right, rate, 2)));
    }

    std::unique_ptr<TestClient> connect(std::uint32_t dataFlags) {
        auto client = std::make_unique<TestClient>(port, 1);
        for (int i = 0; i < 300 && !client->connected(); ++i) client->service(10);
        EXPECT_TRUE(client->connected());
        client->sendDataRequest(dataFlags, "test");
        return client;
    }

    // Services the client until it holds `count` messages (or 10 s went by).
    bool receive(TestClient& client, std::size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (client.messages().size() < count && std::chrono::steady_clock::now() < deadline) {
            client.service(5);
        }
        return client.messages().size() >= count;
    }

    // Services the client until its last `count` PCM messages carry the tones `left` and `right`
    // (or 10 s went by): a stream that starts or comes back opens with silence for as long as the
    // sound server takes to deliver, and the silence comes at the stream's pace.
    // `decode` turns the last messages into stereo samples (lastOpus for compressed ones).
    bool receiveTones(TestClient& client, double left, double right, int rate, std::size_t count,
                      std::vector<float> (*decode)(TestClient&, std::size_t) = &lastPcm) {
        const std::size_t piece = static_cast<std::size_t>(rate / 20);
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 10; ++i) client.service(5);
            if (client.messages().size() < count) continue;
            std::vector<float> stereo = decode(client, count);
            if (tonalPieceShare(channelOf(stereo, 0), left, rate, piece) >= kTonalPieceBar &&
                tonalPieceShare(channelOf(stereo, 1), right, rate, piece) >= kTonalPieceBar) {
                return true;
            }
        }
        return false;
    }

    // Interleaved stereo of the last `count` PCM messages, scaled to -1..1.
    static std::vector<float> lastPcm(TestClient& client, std::size_t count) {
        std::vector<float> out;
        auto& messages = client.messages();
        for (std::size_t i = messages.size() - count; i < messages.size(); ++i) {
            const auto& payload = messages[i].payload;
            for (std::size_t b = 0; b + 1 < payload.size(); b += 2) {
                out.push_back(static_cast<std::int16_t>(payload[b] | payload[b + 1] << 8) /
                              32768.0f);
            }
        }
        return out;
    }

    static std::vector<float> lastOpus(TestClient& client, std::size_t count) {
        int error = 0;
        OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
        std::vector<float> out;
        std::vector<opus_int16> pcm(480 * 2);
        auto& messages = client.messages();
        for (std::size_t i = messages.size() - count; i < messages.size(); ++i) {
            int frames = opus_decode(decoder, messages[i].payload.data(),
                                     static_cast<opus_int32>(messages[i].payload.size()),
                                     pcm.data(), 480, 0);
            for (int f = 0; f < frames * 2; ++f) out.push_back(pcm[f] / 32768.0f);
        }
        opus_decoder_destroy(decoder);
        return out;
    }

    void expectTones(const std::vector<float>& stereo, double left, double right, int rate) {
        // Judged in 50 ms pieces: the test's player may run dry for a moment on a loaded
        // machine, and the phase shift that leaves is no fault of the capture.
        std::size_t piece = static_cast<std::size_t>(rate / 20);
        EXPECT_GE(tonalPieceShare(channelOf(stereo, 0), left, rate, piece), kTonalPieceBar)
            << "left " << left;
        EXPECT_GE(tonalPieceShare(channelOf(stereo, 1), right, rate, piece), kTonalPieceBar)
            << "right " << right;
    }

    PulseDaemon daemon{kModules};
    std::unique_ptr<audio::AudioSystem> audioSystem;
    std::unique_ptr<EndpointList> endpoints;
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    std::uint16_t port = freeUdpPort();
    CountingBlockSink sink{server};
    ChannelSelection channels;
    std::unique_ptr<AudioStartup> startup;
    std::vector<std::unique_ptr<PulsePlayer>> players;
    std::jthread deviceLoop;
};

}  // namespace quavelink::test
