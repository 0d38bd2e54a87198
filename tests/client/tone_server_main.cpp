// A streaming server for the client's end-to-end tests: the real streaming core fed with a
// tone at the stream's pace instead of a capture, and optionally the real discovery responder.
// Usage: client_tone_server --port N [--rate 48000|44100] [--seconds S] [--discovery]
// Prints "ready port=N" once clients may connect; stops after S seconds (default 60) or on
// SIGTERM/SIGINT.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stop_token>
#include <string>
#include <thread>

#include "discovery/multi_host.h"
#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "server/stream_server.h"
#include "server/wire_format.h"
#include "tone.h"

namespace {
std::atomic<bool> stopRequested{false};
void onStop(int) { stopRequested = true; }
}  // namespace

int main(int argc, char** argv) {
    using namespace quavelink;
    int port = 0, rate = 48000;
    double seconds = 60;
    bool discovery = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (arg == "--port")
            port = std::atoi(next().c_str());
        else if (arg == "--rate")
            rate = std::atoi(next().c_str());
        else if (arg == "--seconds")
            seconds = std::atof(next().c_str());
        else if (arg == "--discovery")
            discovery = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (port <= 0 || port > 65534 || (rate != 48000 && rate != 44100)) {
        std::fprintf(stderr, "need --port 1..65534 and --rate 48000 or 44100\n");
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    test::FakeServerWindow window;
    test::FakeRecordSink recorder;
    StreamServer server(window, recorder);
    if (!server.start(static_cast<std::uint16_t>(port))) return 1;
    server.streamIs48k = rate == 48000;

    std::jthread responder;
    if (discovery) {
        auto discoveryPort = static_cast<std::uint16_t>(port + 1);
        int socket = openDiscoverySocket(discoveryPort);
        if (socket < 0) return 1;
        responder = std::jthread([socket, discoveryPort](std::stop_token token) {
            serveDiscoveryQueries(socket, discoveryPort, token);
        });
    }
    std::printf("ready port=%d\n", port);
    std::fflush(stdout);

    test::ToneBlocks tone(1000.0, rate);
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    long long plainFrames = 0;
    while (!stopRequested.load() && Clock::now() < end) {
        auto& block = tone.next();
        server.processAudioBlock(block.data(), static_cast<int>(block.size()));
        if (block.size() == static_cast<std::size_t>(kPlainBlockLength)) {
            // Pace on the plain stream: its blocks are due as the captured frames would be.
            plainFrames += kPlainBlockFrames;
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(plainFrames * 1000000 / rate));
        }
    }
    return 0;
}
