#include "client/playout/player.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "client/playout/playout.h"
#include "platform/log.h"

namespace quavelink {
namespace {
// How often the stream is looked after: a rate change or a failure waits this long at most
// (the audio meanwhile goes on, or there is none).
constexpr int kWatchPauseMs = 10;
constexpr int kRetryPauseMs = 1000;
constexpr int kSlicePauseMs = 5;
}  // namespace

const char* realtimeName(AudioOutput::Realtime realtime) {
    switch (realtime) {
        case AudioOutput::Realtime::No:
            return "no";
        case AudioOutput::Realtime::Direct:
            return "direct";
        case AudioOutput::Realtime::RealtimeKit:
            return "rtkit";
        case AudioOutput::Realtime::SoundServer:
            return "server";
        default:
            return "unknown";
    }
}

std::int64_t Player::steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Player::Player(Playout& playout, std::unique_ptr<AudioOutput> output, Clock clock)
    : playout(playout), output(std::move(output)), clock(std::move(clock)) {}

Player::~Player() { stop(); }

void Player::start() {
    if (thread.joinable()) return;
    stopping = false;
    thread = std::thread([this] { run(); });
}

void Player::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
    if (output) output->close();
    rate = 0;
}

void Player::audioArrived() {
    if (rate.load(std::memory_order_relaxed) != 0) output->audioArrived();
}

void Player::run() {
    try {
        while (!stopping.load()) {
            int pauseMs = runOnce();
            // Sleep in short slices so that a stop never waits for a whole retry pause.
            for (int slept = 0; slept < pauseMs && !stopping.load(); slept += kSlicePauseMs) {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::min(kSlicePauseMs, pauseMs - slept)));
            }
        }
    } catch (const std::exception& e) {
        logErrorLine("Playback stopped: %s\n", e.what());
    } catch (...) {
        logErrorLine("Playback stopped\n");
    }
}

int Player::runOnce() {
    std::string error;
    if (rate.load() != 0) {
        int due = rateDue.load();
        if (output->failed(error)) {
            logErrorLine("%s\n", error.c_str());
        } else if (due == 0) {
            watch();
            return kWatchPauseMs;
        }
        // Closed, the output no longer pulls: from here this thread alone reads the playout.
        output->close();
        rate = 0;
        rateDue = 0;
        if (due == 0) return kRetryPauseMs;
    }
    int wanted = playout.sampleRate();
    if (wanted <= 0) return kSlicePauseMs;
    // Set before the output starts pulling, which reads it.
    rate = wanted;
    if (!output->open(wanted, *this, error)) {
        rate = 0;
        if (!failureReported) logErrorLine("%s\n", error.c_str());
        failureReported = true;
        return kRetryPauseMs;
    }
    failureReported = false;
    return kWatchPauseMs;
}

void Player::watch() {
    deviceMs = output->deviceLatencyMs();
    std::string detail;
    AudioOutput::Realtime now = output->realtime(detail);
    realtimeNow = now;
    if (now == AudioOutput::Realtime::No && !refusalReported) {
        refusalReported = true;
        logErrorLine("Playback runs at normal priority: %s\n", detail.c_str());
    }
}

std::size_t Player::pull(std::int16_t* out, std::size_t frames, const Hold& hold) {
    // The audio of the old rate plays to its end; what follows waits, as silence, for the
    // stream to be opened again at its own rate.
    int due = playout.sampleRate();
    if (due != rate.load(std::memory_order_relaxed) || rateDue.load(std::memory_order_relaxed)) {
        if (due > 0 && rateDue.load(std::memory_order_relaxed) == 0) rateDue = due;
        return playout.endOfRate(out, frames, hold);
    }
    return playout.pull(out, frames, hold, clock());
}

void Player::outputRanDry() { playout.outputRanDry(clock()); }

}  // namespace quavelink
