#include "platform/utf8_cut.h"

namespace quavelink {

std::size_t utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

std::string_view cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    // Look back over the continuation bytes before the cut for the lead of the last character.
    for (std::size_t back = 1; back <= 4 && back <= maxBytes; ++back) {
        auto byte = static_cast<unsigned char>(text[maxBytes - back]);
        if ((byte & 0xC0) == 0x80) continue;
        const bool split = utf8SequenceLength(byte) > back;
        return text.substr(0, split ? maxBytes - back : maxBytes);
    }
    return text.substr(0, maxBytes);
}

}  // namespace quavelink
