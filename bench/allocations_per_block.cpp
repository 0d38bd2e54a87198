// Heap allocations per block on the way from the sound server to the network: a tone played
// into a null sink of a private PulseAudio daemon, captured by the real capture engine and
// sent by the streaming core to ten clients on 127.0.0.1 (every rate code, reliable and
// best-effort mixed). Prints the allocations of each thread and calling place per block.
// With --record a recording runs too, so the record copy of each plain block shows.
#include <enet/enet.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "headless/headless_window.h"
#include "listening_clients.h"
#include "platform/audio/audio_backend.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "test_client.h"
#include "workers/server_workers.h"

using namespace quavelink;
using namespace quavelink::test;
using quavelink::bench::allocationSites;
using quavelink::bench::allocationThreadIndex;
using quavelink::bench::countAllocations;

namespace {

// Counts the blocks of each stream and remembers which thread delivers them.
class CountingSink : public AudioBlockSink {
  public:
    void processAudioBlock(std::uint8_t*, int length) override {
        captureThread = allocationThreadIndex();
        ++(length == kOpusBlockLength ? opusBlocks : plainBlocks);
    }
    std::atomic<int> captureThread{-1};
    std::atomic<long> plainBlocks{0}, opusBlocks{0};
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool record = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--record") == 0) {
            record = true;
        } else {
            seconds = std::atof(argv[i]);
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    auto config = std::filesystem::temp_directory_path() /
                  ("quavelink-allocations-" + std::to_string(::getpid()));
    std::filesystem::create_directories(config);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("QUAVELINK_SERVER_NOWARN_48K", "1", 1);

    PulseDaemon daemon({"module-null-sink sink_name=bench rate=48000"});
    if (!daemon.ready()) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    HeadlessWindow window;
    const std::uint16_t port = freeUdpPort();
    ::setenv("QUAVELINK_SERVER_PORT", std::to_string(port).c_str(), 1);
    auto audioSystem = audio::CreateAudioSystem(chooseSoundServerApi());
    EndpointList endpoints(*audioSystem);
    endpoints.findEndpoint(0);
    CountingSink sink;
    ChannelSelection channels;
    ServerWorkers workers(endpoints, channels, window, {.shownBefore = true, .recordShown = {}},
                          &sink);
    PulsePlayer player("bench", {}, stereoTones(1000, 1500, 48000, 2));
    window.choice.choose(0);
    if (!workers.startServer() || !workers.startRecorder()) return 1;
    for (int i = 0; i < 10000 && window.captureRateText().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (window.captureRateText().empty()) {
        std::fprintf(stderr, "the capture did not start\n");
        return 1;
    }
    const std::string recordPath = (config / "record.wav").string();
    int recordFd = -1;
    if (record) {
        recordFd = open(recordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        workers.recorder().setRecordTarget(recordPath, recordFd, 48000, false, 0);
    }

    const int rateCodes[10] = {0, 1, 2, 3, 0, 1, 2, 3, 1, 3};
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 10; ++i)
        clients.push_back(std::make_unique<TestClient>(port, 1 | CONNECT_FLAG_SHARED));
    auto allConnected = [&] {
        for (auto& client : clients) {
            if (!client->connected()) return false;
        }
        return true;
    };
    for (int i = 0; i < 3000 && !allConnected(); ++i) {
        for (auto& client : clients) client->service(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!allConnected()) {
        std::fprintf(stderr, "the clients did not connect\n");
        return 1;
    }
    for (int i = 0; i < 10; ++i) {
        std::uint32_t flags = (i % 2 == 0 ? FLAG_RELIABLE : 0) |
                              static_cast<std::uint32_t>(rateCodes[i]) << kRateCodeShift;
        clients[i]->sendDataRequest(flags, "bench " + std::to_string(i));
    }

    // The clients listen on their own thread, as they would on their own devices.
    bench::ListeningClients listeners(clients, "bench-clients");

    // Warm-up: every client streams and the libraries have their steady-state buffers.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long receivedBefore = listeners.received(), plainBefore = sink.plainBlocks,
         opusBefore = sink.opusBlocks;
    countAllocations(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    countAllocations(false);
    const long plain = sink.plainBlocks - plainBefore;
    const long opus = sink.opusBlocks - opusBefore;
    const long messages = listeners.received() - receivedBefore;

    listeners.stop();
    workers.stop();
    if (recordFd != -1) close(recordFd);

    const double blocks = static_cast<double>(plain + opus);
    std::printf("allocations per block, %.0f s, 10 clients on 127.0.0.1, recording %s\n", seconds,
                record ? "on" : "off");
    std::printf(
        "blocks: %ld plain + %ld compressed; messages received by the clients: %ld "
        "(%.2f per block)\n",
        plain, opus, messages, blocks > 0 ? messages / blocks : 0.0);
    if (blocks == 0) return 1;
    const int capture = sink.captureThread;
    std::printf("%-10s %-16s %-22s %s\n", "per block", "thread", "library", "caller");
    double onCapture = 0, enetOnCapture = 0;
    for (const auto& site : allocationSites()) {
        std::string thread = site.thread == capture
                                 ? "capture"
                                 : site.threadName + "#" + std::to_string(site.thread);
        if (site.thread == capture) {
            onCapture += site.count / blocks;
            if (site.object.rfind("libenet", 0) == 0) enetOnCapture += site.count;
        }
        if (site.count / blocks < 0.001) continue;
        std::string symbol = site.symbol.substr(0, 70);
        std::printf("%10.3f %-18s %-22s %s\n", site.count / blocks, thread.c_str(),
                    site.object.c_str(), symbol.c_str());
    }
    std::printf("capture thread: %.3f allocations per block, of them ENet's %.3f per message\n",
                onCapture, messages > 0 ? enetOnCapture / messages : 0.0);
    std::error_code ignored;
    std::filesystem::remove_all(config, ignored);
    return 0;
}
