#include "client/player.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "client/playout.h"
#include "client/realtime_priority.h"
#include "platform/log.h"

namespace quavelink {
namespace {
// The most taken at a time. Less is taken from a small output buffer: what the sound server
// asks for at a time (a quarter of its buffer), since a chunk taken from the playout waits in
// hand until the whole of it fits in the output, which adds to the latency.
constexpr int kChunkMs = 5;
constexpr int kIdlePauseMs = 5;
constexpr int kRetryPauseMs = 1000;
// Room for a chunk at any rate the stream may have (up to 96 kHz), taken once.
constexpr std::size_t kMostChunkFrames = 96000 * kChunkMs / 1000;
}  // namespace

std::int64_t Player::steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Player::Player(Playout& playout, std::unique_ptr<AudioOutput> output, int outputBufferMs,
               Clock clock)
    : playout(playout),
      output(std::move(output)),
      outputBufferMs(outputBufferMs),
      clock(std::move(clock)),
      chunk(kMostChunkFrames * 2) {}

Player::~Player() {
    stop();
    if (output) output->close();
}

void Player::start() {
    if (thread.joinable()) return;
    stopping = false;
    thread = std::thread([this] { run(); });
}

void Player::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
}

void Player::run() {
    // A late wake-up empties the small output buffer: the sound server then plays silence.
    raiseToRealtime();
    try {
        while (!stopping.load()) {
            int pauseMs = runOnce();
            // Sleep in short slices so that a stop never waits for a whole retry pause.
            for (int slept = 0; slept < pauseMs && !stopping.load(); slept += kIdlePauseMs) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePauseMs));
            }
        }
    } catch (const std::exception& e) {
        logErrorLine("Playback stopped: %s\n", e.what());
    } catch (...) {
        logErrorLine("Playback stopped\n");
    }
}

int Player::runOnce() {
    int wanted = playout.sampleRate();
    if (wanted <= 0) return kIdlePauseMs;
    std::string error;
    if (rate.load() != wanted) {
        rate = 0;
        if (!output->open(wanted, outputBufferMs, error)) {
            if (!failureReported) logErrorLine("%s\n", error.c_str());
            failureReported = true;
            return kRetryPauseMs;
        }
        failureReported = false;
        rate = wanted;
    }
    std::size_t frames = std::clamp<std::size_t>(
        static_cast<std::size_t>(wanted) * static_cast<std::size_t>(outputBufferMs) / 4000,
        static_cast<std::size_t>(wanted) / 1000, kMostChunkFrames);
    frames = std::min(frames, static_cast<std::size_t>(wanted) * kChunkMs / 1000);
    playout.pull(chunk.data(), frames, clock());
    if (!output->write(chunk.data(), frames, error)) {
        logErrorLine("%s\n", error.c_str());
        rate = 0;
        return kRetryPauseMs;
    }
    std::int64_t latency = output->latencyUs();
    latencyMs = latency < 0 ? -1 : static_cast<int>(latency / 1000);
    return 0;
}

}  // namespace quavelink
