#include "server/client_name.h"

#include <cstdint>

#include "platform/utf8_cut.h"

namespace quavelink {
namespace {

constexpr char kPlaceholder = '?';

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The character at the start of `text` and its length in `length`; length 0 when the bytes
// there are not valid UTF-8 (also when the sequence runs past the end).
char32_t decodeOne(std::string_view text, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t needed = utf8SequenceLength(lead);
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = lead & kLeadBits[needed];
    length = 0;
    if (needed == 0 || needed > text.size()) return 0;
    for (std::size_t i = 1; i < needed; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (!isContinuation(byte)) return 0;
        code = (code << 6) | (byte & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool overlong = code < kSmallest[needed];
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF) return 0;
    length = needed;
    return code;
}

bool isShownAsItIs(char32_t code) {
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
    if (code == 0x2028 || code == 0x2029) return false;
    if (code >= 0x202A && code <= 0x202E) return false;
    if (code >= 0x2066 && code <= 0x2069) return false;
    return true;
}

}  // namespace

std::string displayableClientName(std::string_view received) {
    std::string_view kept = cutUtf8(received, kMaxClientNameBytes);
    std::string shown;
    shown.reserve(kept.size());
    std::size_t at = 0;
    while (at < kept.size()) {
        std::size_t length = 0;
        char32_t code = decodeOne(kept.substr(at), length);
        if (length == 0) {
            shown += kPlaceholder;
            ++at;
            continue;
        }
        if (isShownAsItIs(code)) {
            shown.append(kept.substr(at, length));
        } else {
            shown += kPlaceholder;
        }
        at += length;
    }
    return shown;
}

}  // namespace quavelink
