#pragma once

#include <cstddef>
#include <cstdint>

namespace quavelink {

//! Plays interleaved stereo 16-bit audio slightly faster or slower than its rate, for clock
//! drift and level changes: a band-limited resampler whose ratio changes smoothly while it
//! runs. Memory for the stream's two rates (44.1 and 48 kHz) is taken at construction, so that
//! neither `reset` nor `process` allocates at those rates. Single thread.
class Resampler {
  public:
    Resampler();
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    //! Starts afresh at `sampleRate`, playing at the nominal speed. False when the library
    //! could not set up (the caller then copies frames through unchanged). Allocates only for a
    //! rate other than 44100 and 48000.
    bool reset(int sampleRate);

    //! From the next frame on, take input `ppm` millionths faster than output (positive: the
    //! audio plays faster, its queue shrinks), in steps of about 15 ppm.
    void setCorrectionPpm(double ppm);

    //! Reads up to `inFrames` frames from `in` and writes up to `outFrames` to `out`; both are
    //! set to what was used and made.
    void process(const std::int16_t* in, std::size_t& inFrames, std::int16_t* out,
                 std::size_t& outFrames);

    //! Frames held inside the filter (its delay), at the nominal speed.
    std::size_t delayFrames() const;
    //! The correction in effect, ppm.
    double appliedPpm() const { return applied; }

  private:
    struct State;
    State* state = nullptr;
    int rate = 0;
    double applied = 0;
    long appliedSteps = 0;
};

}  // namespace quavelink
