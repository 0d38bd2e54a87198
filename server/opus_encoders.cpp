#include "opus_encoders.h"

#include <opus/opus.h>

#include "platform/log.h"
#include "server/wire_format.h"

namespace quavelink {

OpusEncoder* OpusEncoders::createDefault(int, int& error) {
    return opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
}

OpusEncoders::OpusEncoders(const Factory& create) {
    for (int rateCode = 1; rateCode <= kOpusRateCodeCount; ++rateCode) {
        int error = OPUS_OK;
        OpusEncoder* encoder = create(rateCode, error);
        if (error != OPUS_OK || encoder == nullptr) {
            if (encoder != nullptr) opus_encoder_destroy(encoder);
            logLine("Warning, could not initialize Opus encoder %d (%s)\n", rateCode,
                    opus_strerror(error));
            continue;
        }
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitRates[rateCode]));
        opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
        opusEncoders[rateCode] = encoder;
    }
}

OpusEncoders::~OpusEncoders() {
    for (OpusEncoder* encoder : opusEncoders) {
        if (encoder != nullptr) opus_encoder_destroy(encoder);
    }
}

bool OpusEncoders::has(int rateCode) const {
    return rateCode >= 1 && rateCode <= kOpusRateCodeCount && opusEncoders[rateCode] != nullptr;
}

int OpusEncoders::encode(int rateCode, const std::int16_t* pcm, std::uint8_t* out, int maxBytes) {
    if (!has(rateCode)) return 0;
    return opus_encode(opusEncoders[rateCode], pcm, kOpusBlockFrames, out, maxBytes);
}

}  // namespace quavelink
