#pragma once

namespace quavelink {

//! How much faster than nominal to play, in ppm, to bring the queue's level to its target: a
//! proportional part that moves the level and an integral part that settles on the clock
//! difference between the server and the sound card, so that a steady drift leaves no steady
//! error. Playing faster than nominal lowers the level; growing (playing slower) may go faster
//! than shrinking, since a level below its target risks a dropout and one above only costs
//! latency. Single thread (the playback thread).
class RateController {
  public:
    //! The largest clock difference the integral part may settle on, ppm.
    static constexpr double kMostDriftPpm = 1500;
    //! The most the level may be grown by playing slower (ppm below the drift) and shrunk by
    //! playing faster (ppm above it): 0.2 % and 0.15 %. With the drift at its most the speed is
    //! at most 0.35 % off (6 cents, a sixteenth of a semitone; 3.5 cents without drift), below
    //! what a listener notices as pitch. A large rise of the target comes mostly from an
    //! underrun, whose gap raises the level at once.
    static constexpr double kMostGrowPpm = 2000;
    static constexpr double kMostShrinkPpm = 1500;

    //! One step: the level (smoothed, ms) and target (ms) now, `seconds` since the last step.
    //! Returns the correction in ppm (positive: play faster).
    double update(double levelMs, double targetMs, double seconds);

    //! Forgets the proportional state; `keepDrift` keeps the clock difference learnt so far
    //! (the same server and sound card after a dropout).
    void reset(bool keepDrift);

    double correctionPpm() const { return correction; }
    double driftPpm() const { return integral; }

  private:
    double integral = 0;
    double correction = 0;
};

}  // namespace quavelink
