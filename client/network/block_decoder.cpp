#include "client/network/block_decoder.h"

#include <opus/opus.h>

#include <algorithm>

#include "platform/log.h"
#include "server/wire_format.h"

namespace quavelink {
namespace {

// Opus packets may hold up to 120 ms; the server sends 10 ms, but a packet is outside data.
constexpr int kMaxOpusFrames = 5760;
constexpr std::size_t kUnencodedOpusBlockBytes = kOpusBlockFrames * 4;  // 1920

void appendPcm(const std::uint8_t* pcm, std::size_t length, std::vector<std::int16_t>& out) {
    std::size_t samples = length / 2;
    std::size_t start = out.size();
    out.resize(start + samples);
    for (std::size_t i = 0; i < samples; ++i) {
        out[start + i] = static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
    }
}

}  // namespace

BlockDecoder::BlockDecoder() {
    int error = 0;
    // The server's encoders run at 48000 Hz whatever the capture rate, so the decoder does too.
    opus = opus_decoder_create(48000, 2, &error);
    if (error != OPUS_OK) {
        logErrorLine("Could not create the Opus decoder: %s\n", opus_strerror(error));
        opus = nullptr;
    }
}

BlockDecoder::~BlockDecoder() {
    if (opus != nullptr) opus_decoder_destroy(opus);
}

void BlockDecoder::reset() {
    if (opus != nullptr) opus_decoder_ctl(opus, OPUS_RESET_STATE);
    lastFrames = 0;
}

int BlockDecoder::decode(int rateCode, const std::uint8_t* payload, std::size_t length,
                         std::vector<std::int16_t>& out) {
    if (length == 0 || payload == nullptr) return -1;
    if (rateCode == 0) {
        if (length % 4 != 0 || length > kUnencodedOpusBlockBytes) return -1;
        appendPcm(payload, length, out);
        lastWasOpusStream = false;
        lastFrames = static_cast<int>(length / 4);
        return lastFrames;
    }
    lastWasOpusStream = true;
    if (length == kUnencodedOpusBlockBytes) {
        // No Opus packet is this long (they stop at 1352 bytes): the server's fallback.
        appendPcm(payload, length, out);
        lastFrames = kOpusBlockFrames;
        return lastFrames;
    }
    if (opus == nullptr || length > static_cast<std::size_t>(kMaxOpusPacketBytes)) return -1;
    std::size_t start = out.size();
    out.resize(start + kMaxOpusFrames * 2);
    int frames = opus_decode(opus, payload, static_cast<opus_int32>(length), out.data() + start,
                             kMaxOpusFrames, 0);
    out.resize(start + (frames > 0 ? frames * 2 : 0));
    if (frames <= 0) return -1;
    lastFrames = frames;
    return frames;
}

int BlockDecoder::conceal(int blocks, std::vector<std::int16_t>& out) {
    int total = 0;
    for (int i = 0; i < blocks; ++i) {
        int frames = lastFrames > 0 ? lastFrames
                                    : (lastWasOpusStream ? kOpusBlockFrames : kPlainBlockFrames);
        std::size_t start = out.size();
        out.resize(start + frames * 2, 0);
        if (lastWasOpusStream && opus != nullptr) {
            int made = opus_decode(opus, nullptr, 0, out.data() + start, frames, 0);
            if (made != frames) std::fill(out.begin() + start, out.end(), 0);
        }
        total += frames;
    }
    concealed += total;
    return total;
}

}  // namespace quavelink
