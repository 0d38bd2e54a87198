#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct OpusDecoder;

namespace quavelink {

//! Turns the payload of audio messages (the bytes after the header) into interleaved stereo
//! 16-bit PCM, and makes up audio for blocks that never arrived. Single thread (the network
//! thread).
class BlockDecoder {
  public:
    BlockDecoder();
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    //! Appends the frames of one payload for `rateCode` to `out`. Rate code 0 carries plain PCM;
    //! 1 to 3 carry an Opus packet, or the 480 frames unencoded (1920 bytes) when the server
    //! could not encode them. Returns the frames appended, or -1 for a payload that is neither
    //! (nothing is appended then, and the caller may conceal it as lost).
    int decode(int rateCode, const std::uint8_t* payload, std::size_t length,
               std::vector<std::int16_t>& out);

    //! Appends audio standing in for `blocks` lost blocks of the kind decoded last: Opus loss
    //! concealment for the compressed stream, silence for plain PCM. Returns the frames appended.
    int conceal(int blocks, std::vector<std::int16_t>& out);

    //! Forgets the Opus decoder's history, for a new stream.
    void reset();

    //! How many frames `conceal` produced in total.
    std::uint64_t concealedFrames() const { return concealed; }

  private:
    OpusDecoder* opus = nullptr;
    bool lastWasOpusStream = false;
    int lastFrames = 0;
    std::uint64_t concealed = 0;
};

}  // namespace quavelink
