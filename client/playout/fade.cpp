#include "client/playout/fade.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quavelink {

void Fade::reset(int sampleRate) {
    ramp = std::max<std::size_t>(1, static_cast<std::size_t>(sampleRate) * 3 / 2000);
    risen = ramp;
    sunk = ramp;
    silent = true;
    last[0] = last[1] = 0;
}

double Fade::rise(std::size_t step, std::size_t steps) {
    return 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(step + 1) /
                                static_cast<double>(steps + 1));
}

void Fade::audio(std::int16_t* samples, std::size_t frames) {
    if (frames == 0) return;
    if (silent) {
        silent = false;
        risen = 0;
    }
    for (std::size_t i = 0; i < frames && risen < ramp; ++i, ++risen) {
        double gain = rise(risen, ramp);
        samples[2 * i] = static_cast<std::int16_t>(std::lround(samples[2 * i] * gain));
        samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(samples[2 * i + 1] * gain));
    }
    last[0] = samples[2 * (frames - 1)];
    last[1] = samples[2 * (frames - 1) + 1];
}

void Fade::gap(std::int16_t* samples, std::size_t frames) {
    if (frames == 0) return;
    if (!silent) {
        silent = true;
        sunk = 0;
    }
    std::size_t i = 0;
    for (; i < frames && sunk < ramp; ++i, ++sunk) {
        double gain = 1 - rise(sunk, ramp);
        samples[2 * i] = static_cast<std::int16_t>(std::lround(last[0] * gain));
        samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(last[1] * gain));
    }
    std::fill(samples + 2 * i, samples + 2 * frames, 0);
    if (sunk >= ramp) last[0] = last[1] = 0;
}

void Fade::broke() {
    silent = true;
    sunk = ramp;
    last[0] = last[1] = 0;
}

std::size_t Fade::cut(std::int16_t* samples, std::size_t frames) {
    std::size_t fall = std::min(frames, ramp);
    for (std::size_t i = 0; i < fall; ++i) {
        double gain = 1 - rise(i, fall);
        samples[2 * i] = static_cast<std::int16_t>(std::lround(samples[2 * i] * gain));
        samples[2 * i + 1] = static_cast<std::int16_t>(std::lround(samples[2 * i + 1] * gain));
    }
    std::fill(samples + 2 * fall, samples + 2 * frames, 0);
    silent = true;
    sunk = ramp;
    last[0] = last[1] = 0;
    return fall;
}

}  // namespace quavelink
