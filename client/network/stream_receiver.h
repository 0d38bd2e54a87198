#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/network/block_decoder.h"
#include "client/network/block_sequence.h"

namespace quavelink {

//! What the client does with each message from the server, without any network: checks the
//! header, finds lost blocks from the block numbers, decodes and conceals, and hands the audio
//! on. Single thread (the network thread); the callbacks run on it too.
class StreamReceiver {
  public:
    //! Interleaved stereo frames ready to play at `sampleRate`. The pointer is valid for the call.
    using AudioSink =
        std::function<void(const std::int16_t* samples, std::size_t frames, int sampleRate)>;
    //! A line worth telling the user (no line feed).
    using NoticeSink = std::function<void(const std::string& text)>;

    struct Stats {
        std::uint64_t received = 0;      //!< audio messages taken
        std::uint64_t lost = 0;          //!< blocks missing from the block numbers
        std::uint64_t stale = 0;         //!< late or repeated blocks dropped
        std::uint64_t invalid = 0;       //!< messages that could not be used
        std::uint64_t restarts = 0;      //!< times the numbering started again
        std::uint64_t messageBytes = 0;  //!< every byte received, headers included
        std::uint64_t frames = 0;        //!< frames handed on, concealment included
        std::uint64_t concealedFrames = 0;
        std::uint64_t concealedBlocks = 0;  //!< lost or unusable blocks made up
        int sampleRate = 0;                 //!< of the last audio message; 0 before any
        int rateCode = -1;                  //!< as the server last sent it; -1 before any
        bool reliable = false;              //!< as the server last sent it
    };

    //! At most this many lost blocks in a row are made up; a longer gap is left to the playout,
    //! which waits for its target again, rather than queueing a long stretch of silence.
    static constexpr std::uint32_t kMaxConcealedBlocks = 10;

    StreamReceiver(AudioSink audio, NoticeSink notice);

    //! One message as it came from the server (`length` bytes at `data`).
    void handleMessage(const std::uint8_t* data, std::size_t length);

    //! A new connection: the next block starts a new numbering, and no gap is counted.
    void startNewStream();

    const Stats& stats() const { return counts; }

  private:
    void deliver();

    AudioSink audio;
    NoticeSink notice;
    BlockSequence sequence;
    BlockDecoder decoder;
    Stats counts;
    bool haveStream = false;
    bool streamIsOpus = false;
    bool streamIs48k = false;
    std::vector<std::int16_t> pcm;
};

}  // namespace quavelink
