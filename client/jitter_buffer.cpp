#include "client/jitter_buffer.h"

#include <algorithm>

namespace quavelink {

namespace {
constexpr int kMinimumHeadroomMs = 40;
constexpr int kExcessWindowMs = 1000;
// Less excess than this is left alone: each cut skips audio.
constexpr int kExcessSlackMs = 5;
}  // namespace

JitterBuffer::JitterBuffer(int targetMs, int ceilingMs)
    : target(std::max(0, targetMs)),
      ceiling(std::max(ceilingMs, target + std::max(kMinimumHeadroomMs, target))) {}

std::size_t JitterBuffer::framesForMs(int ms) const {
    return static_cast<std::size_t>(state.sampleRate) * static_cast<std::size_t>(ms) / 1000;
}

void JitterBuffer::push(const std::int16_t* samples, std::size_t frames, int sampleRate) {
    std::lock_guard lock(mutex);
    if (sampleRate != state.sampleRate) {
        queue.clear();
        state.sampleRate = sampleRate;
        state.playing = false;
        restartWindow();
    }
    queue.insert(queue.end(), samples, samples + frames * 2);
    std::size_t queued = queue.size() / 2;
    if (queued > framesForMs(ceiling)) {
        std::size_t drop = queued - framesForMs(target);
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(drop * 2));
        state.droppedFrames += drop;
    }
    state.queuedFrames = queue.size() / 2;
}

std::size_t JitterBuffer::pull(std::int16_t* out, std::size_t frames) {
    std::lock_guard lock(mutex);
    std::size_t queued = queue.size() / 2;
    if (!state.playing && queued > 0 && queued >= framesForMs(target)) state.playing = true;
    std::size_t given = 0;
    if (state.playing) {
        given = std::min(frames, queued);
        std::copy_n(queue.begin(), given * 2, out);
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(given * 2));
        if (given < frames) {
            ++state.underruns;
            state.playing = false;
            restartWindow();
        } else {
            std::size_t left = queue.size() / 2;
            windowLowest = windowFrames == 0 ? left : std::min(windowLowest, left);
            windowFrames += given;
            if (windowFrames >= framesForMs(kExcessWindowMs)) {
                if (windowLowest > framesForMs(target) / 2 + framesForMs(kExcessSlackMs)) {
                    std::size_t drop = std::min(left, windowLowest - framesForMs(target) / 2);
                    queue.erase(queue.begin(),
                                queue.begin() + static_cast<std::ptrdiff_t>(drop * 2));
                    state.droppedFrames += drop;
                }
                restartWindow();
            }
        }
    }
    std::fill(out + given * 2, out + frames * 2, 0);
    state.playedFrames += given;
    state.queuedFrames = queue.size() / 2;
    return given;
}

void JitterBuffer::clear() {
    std::lock_guard lock(mutex);
    queue.clear();
    state.playing = false;
    state.queuedFrames = 0;
    restartWindow();
}

void JitterBuffer::restartWindow() {
    windowFrames = 0;
    windowLowest = 0;
}

JitterBuffer::Counters JitterBuffer::counters() const {
    std::lock_guard lock(mutex);
    return state;
}

int JitterBuffer::millisecondsOf(std::size_t frames) const {
    std::lock_guard lock(mutex);
    if (state.sampleRate <= 0) return 0;
    return static_cast<int>(frames * 1000 / static_cast<std::size_t>(state.sampleRate));
}

}  // namespace quavelink
