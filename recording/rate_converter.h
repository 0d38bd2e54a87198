#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quavelink {

//! Carries interleaved stereo 16-bit audio from one sample rate to another: a recording keeps
//! the rate its file was started with when the capture comes back at another one. The filter's
//! history runs across calls, so consecutive blocks join without a seam. Single thread.
class RateConverter {
  public:
    RateConverter() = default;
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    //! Appends `frames` frames of `in`, taken at `fromRate`, to `out` at `toRate`. A change of
    //! either rate starts afresh. False (nothing appended) when the library cannot set up.
    bool convert(const std::int16_t* in, std::size_t frames, int fromRate, int toRate,
                 std::vector<std::int16_t>& out);

    //! Forgets the audio seen so far; the little the filter still holds is dropped.
    void reset();

  private:
    struct State;
    State* state = nullptr;
    int from = 0;
    int to = 0;
};

}  // namespace quavelink
