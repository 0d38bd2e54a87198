#include "server/client_name.h"

#include <cstdint>

namespace quavelink {
namespace {

constexpr char kPlaceholder = '?';

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence that `lead` starts and the bits it carries; 0 for a byte that can
// never start one.
std::size_t sequenceLength(unsigned char lead, char32_t& bits) {
    if (lead < 0x80) {
        bits = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07;
        return 4;
    }
    return 0;
}

// The character at the start of `text` and its length in `length`; length 0 when the bytes
// there are not valid UTF-8 (also when the sequence runs past the end).
char32_t decodeOne(std::string_view text, std::size_t& length) {
    char32_t code = 0;
    std::size_t needed = sequenceLength(static_cast<unsigned char>(text[0]), code);
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

// A valid start of a sequence followed only by its continuation bytes up to the end: what is
// left of a character the cut split.
bool isSplitCharacter(std::string_view tail) {
    char32_t ignored;
    std::size_t needed = sequenceLength(static_cast<unsigned char>(tail[0]), ignored);
    if (needed <= tail.size()) return false;
    for (std::size_t i = 1; i < tail.size(); ++i) {
        if (!isContinuation(static_cast<unsigned char>(tail[i]))) return false;
    }
    return true;
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
    std::string_view kept = received.substr(0, kMaxClientNameBytes);
    const bool cut = received.size() > kMaxClientNameBytes;
    std::string shown;
    shown.reserve(kept.size());
    std::size_t at = 0;
    while (at < kept.size()) {
        std::size_t length = 0;
        char32_t code = decodeOne(kept.substr(at), length);
        if (length == 0) {
            if (cut && isSplitCharacter(kept.substr(at))) break;
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
