#pragma once

#include <cstddef>
#include <cstdint>

// The bytes that travel between the server and its clients. Every integer is little-endian.
namespace quavelink {

constexpr std::uint32_t MSG_AUDIO = 0;
constexpr std::uint32_t MSG_DATA_REQUEST = 1;
constexpr std::uint32_t MSG_FASTER = 2;
constexpr std::uint32_t MSG_SLOWER = 3;

constexpr std::uint32_t FLAG_RELIABLE = 1u << 0;
constexpr std::uint32_t FLAG_RATE_48K = 1u << 1;
constexpr int kRateCodeShift = 6;  // bits 6 and 7 carry the rate code
constexpr std::uint32_t kRateCodeMask = 3u << kRateCodeShift;

//! Bit 31 of the connect value: the client stays when another client connects.
constexpr std::uint32_t CONNECT_FLAG_SHARED = 1u << 31;
//! The only disconnect value the server sends: the client was replaced by a newer one.
constexpr std::uint32_t DISCONNECT_REPLACED = 101;

constexpr std::size_t kMessageHeaderSize = 16;

// Audio blocks: room for the message header, then interleaved stereo 16-bit PCM.
constexpr int kBlockHeaderBytes = static_cast<int>(kMessageHeaderSize);
constexpr int kBlockFrameBytes = 4;
constexpr int kPlainBlockFrames = 338;
constexpr int kOpusBlockFrames = 480;
constexpr int kPlainBlockLength = kBlockHeaderBytes + kPlainBlockFrames * kBlockFrameBytes;  // 1368
constexpr int kOpusBlockLength = kBlockHeaderBytes + kOpusBlockFrames * kBlockFrameBytes;    // 1936
//! Largest Opus packet a message carries, so that every encoded message fits one datagram.
constexpr int kMaxOpusPacketBytes = 1352;

constexpr int kOpusRateCodeCount = 3;  // rate codes 1..3; 0 is uncompressed PCM
constexpr std::uint16_t kDefaultServerPort = 59010;

struct MessageHeader {
    std::uint32_t messageId = 0;
    std::uint32_t blockNumber = 0;
    std::uint32_t flags = 0;
    std::uint32_t reserved = 0;
};

//! Writes the 16 header bytes to `out`.
void writeMessageHeader(const MessageHeader& header, std::uint8_t* out);
//! Reads 16 header bytes from `in`.
MessageHeader readMessageHeader(const std::uint8_t* in);

//! The flags word of an audio message.
std::uint32_t audioMessageFlags(bool reliable, bool streamIs48k, int rateCode);
//! The rate code (0 to 3) a flags word carries in bits 6 and 7.
int rateCodeFromFlags(std::uint32_t flags);

//! Bits 0-7 of a connect value.
inline std::uint32_t protocolVersionFromConnectValue(std::uint32_t value) { return value & 0xFF; }

std::uint32_t readLittleEndian32(const std::uint8_t* in);
void writeLittleEndian32(std::uint32_t value, std::uint8_t* out);

}  // namespace quavelink
