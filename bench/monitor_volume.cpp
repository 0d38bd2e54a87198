// What a client hears while the PC's own output is lowered or muted: a 1 kHz tone at half scale
// plays into a null sink of a private sound server (QUAVELINK_TEST_SOUND_SERVER: pulseaudio or
// pipewire), the capture of "Default multimedia device" streams it to a client on 127.0.0.1, and
// the sink's volume is set to 100 %, 30 % and muted in turn as the window's controls would.
// Prints the level the client receives at each, in dBFS; asserts nothing.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "captured_stream.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "test_client.h"
#include "tone.h"

using namespace quavelink;
using namespace quavelink::test;

namespace {

// The RMS level in dBFS of the left channel of the client's last half second of PCM.
double levelOf(TestClient& client) {
    std::vector<float> left;
    auto& messages = client.messages();
    std::size_t count = std::min<std::size_t>(messages.size(), 70);
    for (std::size_t i = messages.size() - count; i < messages.size(); ++i) {
        auto samples = leftChannel(messages[i].payload.data(), messages[i].payload.size());
        left.insert(left.end(), samples.begin(), samples.end());
    }
    double sum = 0;
    for (float x : left) sum += static_cast<double>(x) * x;
    double rms = left.empty() ? 0 : std::sqrt(sum / left.size());
    return rms > 0 ? 20 * std::log10(rms) : -INFINITY;
}

// Services the client for `seconds` and returns the level of what came last.
double listen(TestClient& client, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) client.service(5);
    return levelOf(client);
}

}  // namespace

int main() {
    ::setenv("QUAVELINK_SERVER_NOSILENCE", "1", 1);

    PulseDaemon daemon({"module-null-sink sink_name=out rate=48000"});
    if (!daemon.ready() || daemon.pactl("set-default-sink out") != 0) {
        std::fprintf(stderr, "the sound server did not start\n");
        return 1;
    }
    CapturedStream stream;
    if (!stream.start()) return 1;
    PulsePlayer player("out", PulsePlayer::Options{}, stereoTones(1000, 1000, 48000, 2));
    if (!stream.startCapture()) return 1;
    TestClient client(stream.port, 1 | CONNECT_FLAG_SHARED);
    for (int i = 0; i < 500 && !client.connected(); ++i) client.service(2);
    client.sendDataRequest(0, "level");

    std::printf("%s, a 1 kHz tone at -9.0 dBFS (RMS) into a null sink, level a client receives\n",
                daemon.isPipeWire() ? "PipeWire (pipewire-pulse)" : "PulseAudio");
    std::printf("  sink at 100 %%: %7.1f dBFS\n", listen(client, 3.0));
    daemon.pactl("set-sink-volume out 30%");
    std::printf("  sink at  30 %%: %7.1f dBFS\n", listen(client, 1.5));
    daemon.pactl("set-sink-volume out 100%");
    daemon.pactl("set-sink-mute out 1");
    std::printf("  sink muted:    %7.1f dBFS\n", listen(client, 1.5));
    stream.startup.stopCapture();
    return 0;
}
