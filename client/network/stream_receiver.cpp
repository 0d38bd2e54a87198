#include "client/network/stream_receiver.h"

#include <algorithm>

#include "server/wire_format.h"

namespace quavelink {

StreamReceiver::StreamReceiver(AudioSink audio, NoticeSink notice)
    : audio(std::move(audio)), notice(std::move(notice)) {}

void StreamReceiver::startNewStream() {
    haveStream = false;
    sequence.reset();
    decoder.reset();
}

void StreamReceiver::handleMessage(const std::uint8_t* data, std::size_t length) {
    counts.messageBytes += length;
    if (data == nullptr || length < kMessageHeaderSize) {
        ++counts.invalid;
        return;
    }
    MessageHeader header = readMessageHeader(data);
    if (header.messageId != MSG_AUDIO) {
        ++counts.invalid;
        return;
    }
    int rateCode = rateCodeFromFlags(header.flags);
    bool opusStream = rateCode != 0;
    bool is48k = (header.flags & FLAG_RATE_48K) != 0;
    // The plain and the compressed stream keep separate block numbers, so a change of stream
    // (a new rate code chosen, or the server's capture rate changing) starts a new sequence.
    if (!haveStream || opusStream != streamIsOpus || is48k != streamIs48k) {
        if (haveStream && opusStream != streamIsOpus) decoder.reset();
        sequence.reset();
        haveStream = true;
        streamIsOpus = opusStream;
        streamIs48k = is48k;
    }
    counts.rateCode = rateCode;
    counts.reliable = (header.flags & FLAG_RELIABLE) != 0;
    counts.sampleRate = is48k ? 48000 : 44100;

    BlockSequence::Step step = sequence.accept(header.blockNumber);
    if (step.kind == BlockSequence::Kind::Stale) {
        ++counts.stale;
        return;
    }
    ++counts.received;
    pcm.clear();
    if (step.kind == BlockSequence::Kind::Gap) {
        counts.lost += step.missing;
        std::uint32_t madeUp = std::min(step.missing, kMaxConcealedBlocks);
        counts.concealedBlocks += madeUp;
        decoder.conceal(static_cast<int>(madeUp), pcm);
    } else if (step.kind == BlockSequence::Kind::Restart) {
        ++counts.restarts;
        notice("Block numbers started again at " + std::to_string(header.blockNumber) +
               ": the server restarted its stream");
    }
    std::size_t concealed = pcm.size() / 2;
    if (decoder.decode(rateCode, data + kMessageHeaderSize, length - kMessageHeaderSize, pcm) < 0) {
        // An unusable block is as good as a lost one: keep the timeline and conceal it.
        ++counts.invalid;
        ++counts.concealedBlocks;
        concealed += static_cast<std::size_t>(decoder.conceal(1, pcm));
    }
    counts.concealedFrames += concealed;
    deliver();
}

void StreamReceiver::deliver() {
    std::size_t frames = pcm.size() / 2;
    if (frames == 0) return;
    counts.frames += frames;
    audio(pcm.data(), frames, counts.sampleRate);
}

}  // namespace quavelink
