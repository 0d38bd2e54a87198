#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace quavelink::test {

//! Plays generated float audio into a sink of the running sound server (PULSE_SERVER) on its
//! own thread until destroyed.
class PulsePlayer {
  public:
    //! Player thread: fills `frames` interleaved frames starting at frame `first`.
    using Generator = std::function<void(float* out, int frames, long first)>;
    //! Player thread: frames before `end` have been handed to the server.
    using Written = std::function<void(long end)>;

    struct Options {
        int rate = 48000;
        int channels = 2;
        //! Target buffer (tlength) in milliseconds.
        int bufferMs = 50;
        //! Frames per write.
        int chunkFrames = 480;
        //! Channel positions in PulseAudio's words ("front-left,front-right,..."); empty: the
        //! sound server's default for the channel count.
        std::string channelMap;
    };

    PulsePlayer(const std::string& sink, Options options, Generator generate, Written written = {});
    ~PulsePlayer();
    PulsePlayer(const PulsePlayer&) = delete;
    PulsePlayer& operator=(const PulsePlayer&) = delete;

    //! False once the stream could not be opened or a write failed.
    bool ok() const { return !failed.load(); }

  private:
    std::atomic<bool> stopping{false};
    std::atomic<bool> failed{false};
    std::thread thread;
};

//! A generator of a stereo sine pair: `left` Hz on the left, `right` Hz on the right, at
//! `amplitude`; other channels silent.
PulsePlayer::Generator stereoTones(double left, double right, int rate, int channels,
                                   double amplitude = 0.5);

//! Records `milliseconds` of two-channel float audio from `source` of the running sound server
//! and returns the RMS level (0 to 1) of its last 200 ms; a negative value when it could not.
double recordedLevel(const std::string& source, int milliseconds);

}  // namespace quavelink::test
