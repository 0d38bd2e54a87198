#pragma once

#include <array>
#include <cstdint>
#include <functional>

struct OpusEncoder;

namespace quavelink {

//! The three shared Opus encoders, one per rate code 1 to 3, always at 48000 Hz stereo.
//! Used by the capture thread only, once created.
class OpusEncoders {
  public:
    static constexpr std::array<int, 4> kBitRates{0, 64000, 128000, 256000};

    //! Creates an encoder for a rate code; returns null and sets `error` on failure.
    using Factory = std::function<OpusEncoder*(int rateCode, int& error)>;

    //! Creates the encoders; one that fails is logged and its rate code left without encoder.
    explicit OpusEncoders(const Factory& create = createDefault);
    ~OpusEncoders();
    OpusEncoders(const OpusEncoders&) = delete;
    OpusEncoders& operator=(const OpusEncoders&) = delete;

    bool has(int rateCode) const;

    //! Encodes kOpusBlockFrames stereo frames; returns the packet length (at most `maxBytes`), or 0
    //! or less when there is no packet (no encoder for the rate code, or an encoder error).
    int encode(int rateCode, const std::int16_t* pcm, std::uint8_t* out, int maxBytes);

    static OpusEncoder* createDefault(int rateCode, int& error);

  private:
    std::array<OpusEncoder*, 4> opusEncoders{};
};

}  // namespace quavelink
