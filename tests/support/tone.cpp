#include "tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "server/wire_format.h"

namespace quavelink::test {

ToneBlocks::ToneBlocks(double frequency, int sampleRate, double amplitude)
    : frequency(frequency),
      rate(sampleRate),
      amplitude(amplitude),
      plain(kPlainBlockLength),
      opus(kOpusBlockLength) {}

std::vector<std::uint8_t>& ToneBlocks::next() {
    if (opusPending) {
        opusPending = false;
        ready = opus;
        return ready;
    }
    for (;;) {
        double value = amplitude * std::sin(2 * std::numbers::pi * frequency * frame / rate);
        auto left = static_cast<std::int16_t>(std::lround(value * 32767));
        auto right = static_cast<std::int16_t>(-left);
        ++frame;
        auto put = [&](std::vector<std::uint8_t>& block, int& fill) {
            std::uint8_t* at = block.data() + kMessageHeaderSize + fill * 4;
            at[0] = static_cast<std::uint8_t>(left);
            at[1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(left) >> 8);
            at[2] = static_cast<std::uint8_t>(right);
            at[3] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(right) >> 8);
            ++fill;
        };
        put(plain, plainFill);
        put(opus, opusFill);
        bool plainFull = plainFill == kPlainBlockFrames;
        bool opusFull = opusFill == kOpusBlockFrames;
        if (plainFull) plainFill = 0;
        if (opusFull) opusFill = 0;
        if (plainFull) {
            // Both filled on the same frame: the compressed block follows on the next call.
            opusPending = opusFull;
            ready = plain;
            return ready;
        }
        if (opusFull) {
            ready = opus;
            return ready;
        }
    }
}

double toneShare(const std::vector<float>& samples, double frequency, int sampleRate) {
    // Goertzel power at one frequency against Parseval's total.
    double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
    double s1 = 0, s2 = 0, total = 0;
    for (float x : samples) {
        double s0 = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += static_cast<double>(x) * x;
    }
    double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    if (total <= 0) return 0;
    return 2 * power / (samples.size() * total);
}

double tonalPieceShare(const std::vector<float>& samples, double frequency, int sampleRate,
                       std::size_t pieceFrames, double speedTolerance) {
    std::size_t pieces = 0, tonal = 0;
    for (std::size_t at = 0; pieceFrames > 0 && at + pieceFrames <= samples.size();
         at += pieceFrames, ++pieces) {
        std::vector<float> piece(samples.begin() + at, samples.begin() + at + pieceFrames);
        bool found = false;
        for (double speed : {1.0, 1.0 - speedTolerance, 1.0 + speedTolerance}) {
            found = found || toneShare(piece, frequency * speed, sampleRate) > 0.9;
            if (speedTolerance == 0) break;
        }
        if (found) ++tonal;
    }
    return pieces == 0 ? 0.0 : static_cast<double>(tonal) / pieces;
}

std::vector<float> leftChannel(const std::uint8_t* pcm, std::size_t bytes) {
    std::vector<float> samples;
    for (std::size_t i = 0; i + 3 < bytes; i += 4) {
        auto value = static_cast<std::int16_t>(pcm[i] | pcm[i + 1] << 8);
        samples.push_back(value / 32768.0f);
    }
    return samples;
}

double thdPlusNoiseDb(const std::vector<float>& samples, double frequency, int sampleRate) {
    // Least squares of a·sin + b·cos + c over the samples: a 3×3 system solved by Cramer's rule.
    double m[3][3] = {}, v[3] = {};
    const double step = 2 * std::numbers::pi * frequency / sampleRate;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double basis[3] = {std::sin(step * static_cast<double>(i)),
                                 std::cos(step * static_cast<double>(i)), 1.0};
        for (int r = 0; r < 3; ++r) {
            v[r] += basis[r] * samples[i];
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
        }
    }
    auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double whole = det(m);
    double x[3];
    for (int k = 0; k < 3; ++k) {
        double a[3][3];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) a[r][c] = c == k ? v[r] : m[r][c];
        }
        x[k] = det(a) / whole;
    }
    double rest = 0, tone = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double fit = x[0] * std::sin(step * static_cast<double>(i)) +
                           x[1] * std::cos(step * static_cast<double>(i));
        const double e = samples[i] - fit - x[2];
        rest += e * e;
        tone += fit * fit;
    }
    if (tone <= 0) return 0;
    return 10 * std::log10(std::max(rest, 1e-30) / tone);
}

}  // namespace quavelink::test
