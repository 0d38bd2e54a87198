#pragma once

#include <cstdint>
#include <vector>

namespace quavelink::test {

//! Cuts a stereo sine into the two block streams the capture engine produces: every frame goes
//! into a 338-frame plain block and a 480-frame compressed block, each with 16 bytes of header
//! room, and a block is handed over as soon as it is full.
class ToneBlocks {
  public:
    ToneBlocks(double frequency, int sampleRate, double amplitude = 0.5);

    //! Advances to the next full block of either stream and returns it (1368 or 1936 bytes).
    std::vector<std::uint8_t>& next();

    int sampleRate() const { return rate; }

  private:
    double frequency;
    int rate;
    double amplitude;
    long frame = 0;
    std::vector<std::uint8_t> plain, opus, ready;
    int plainFill = 0, opusFill = 0;
    bool opusPending = false;
};

//! Strength of `frequency` in mono `samples` relative to their whole energy (0 to 1).
double toneShare(const std::vector<float>& samples, double frequency, int sampleRate);

//! Share (0 to 1) of the whole `pieceFrames`-long pieces of `samples` whose tone share of
//! `frequency` is above 0.9. A sink that runs dry for a moment shifts the tone's phase, which a
//! single measure over seconds would take for a missing tone; pieces judge each stretch alone.
//! The share of tonal pieces a test asks for. A sanitized build runs several times slower and
//! lets a real-time player or capture miss many moments on a busy machine; there the tone need
//! only be clearly present (a wrong channel, rate or format leaves no tonal piece at all), and
//! the sound's quality is judged by the build as shipped.
#ifdef QUAVELINK_SANITIZED
constexpr double kTonalPieceBar = 0.2;
#else
constexpr double kTonalPieceBar = 0.8;
#endif

//! `speedTolerance`: a piece also counts when it holds the tone that much higher or lower (a
//! player that follows another clock plays a few parts in a thousand faster or slower).
double tonalPieceShare(const std::vector<float>& samples, double frequency, int sampleRate,
                       std::size_t pieceFrames, double speedTolerance = 0);

//! The left channel of interleaved stereo 16-bit little-endian PCM, scaled to -1..1.
std::vector<float> leftChannel(const std::uint8_t* pcm, std::size_t bytes);

//! THD+N of mono `samples` holding a sine of `frequency`, in dB (negative; lower is cleaner): the
//! energy left after the best-fitting sine of that exact frequency (and any offset) is taken
//! out, against the energy of that sine.
double thdPlusNoiseDb(const std::vector<float>& samples, double frequency, int sampleRate);

}  // namespace quavelink::test
