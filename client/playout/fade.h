#pragma once

#include <cstddef>
#include <cstdint>

namespace quavelink {

//! Takes the hard edges out of what the playout hands over. Audio that follows silence rises
//! over a short ramp; where audio stops (the queue ran dry, a stream ended) the last frame
//! handed over sinks to zero over the same span; audio cut short (a stale backlog thrown away)
//! falls over it first. The ramps are raised cosines of 1.5 ms: a step between two samples is
//! then at most about 2 % of the level the ramp starts from, below what a tone of a few
//! hundred Hz steps by itself. Single thread (the output's); allocates nothing.
class Fade {
  public:
    //! Starts afresh, silent, at `sampleRate`.
    void reset(int sampleRate);

    //! `frames` frames of audio about to be handed over: rises if silence came before, and is
    //! remembered as the frame a later gap sinks from.
    void audio(std::int16_t* samples, std::size_t frames);
    //! `frames` frames of silence handed over in place of audio: they sink from the last frame
    //! handed over, then stay at zero.
    void gap(std::int16_t* samples, std::size_t frames);
    //! Audio about to be cut off: its first frames fall to zero and the rest is silence; what
    //! comes after rises. Returns how many frames the fall takes (the rest are zero).
    std::size_t cut(std::int16_t* samples, std::size_t frames);

    //! The audio broke off outside the playout (the output ran dry by itself): what comes next
    //! rises.
    void broke();

    //! Frames a ramp takes.
    std::size_t rampFrames() const { return ramp; }

  private:
    static double rise(std::size_t step, std::size_t steps);

    std::size_t ramp = 72;
    std::size_t risen = 0;  // frames of the current rise done; `ramp` when none is under way
    std::size_t sunk = 0;   // frames of the current sink done
    bool silent = true;
    std::int16_t last[2] = {0, 0};
};

}  // namespace quavelink
