#include "wire_format.h"

namespace quavelink {

std::uint32_t readLittleEndian32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void writeLittleEndian32(std::uint32_t value, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

void writeMessageHeader(const MessageHeader& header, std::uint8_t* out) {
    writeLittleEndian32(header.messageId, out);
    writeLittleEndian32(header.blockNumber, out + 4);
    writeLittleEndian32(header.flags, out + 8);
    writeLittleEndian32(header.reserved, out + 12);
}

MessageHeader readMessageHeader(const std::uint8_t* in) {
    return {readLittleEndian32(in), readLittleEndian32(in + 4), readLittleEndian32(in + 8),
            readLittleEndian32(in + 12)};
}

std::uint32_t audioMessageFlags(bool reliable, bool streamIs48k, int rateCode) {
    return (reliable ? FLAG_RELIABLE : 0) | (streamIs48k ? FLAG_RATE_48K : 0) |
           ((static_cast<std::uint32_t>(rateCode) << kRateCodeShift) & kRateCodeMask);
}

int rateCodeFromFlags(std::uint32_t flags) {
    return static_cast<int>((flags & kRateCodeMask) >> kRateCodeShift);
}

}  // namespace quavelink
