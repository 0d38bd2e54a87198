#pragma once

#include <cstddef>
#include <string_view>

namespace quavelink {

//! Length of the UTF-8 sequence that `lead` starts (1 to 4); 0 for a byte that can never start
//! one (a continuation byte, 0xC0, 0xC1, 0xF5 and above).
std::size_t utf8SequenceLength(unsigned char lead);

//! The first `maxBytes` bytes of `text`, less a character that the cut would split, so that
//! text which was valid UTF-8 stays valid. Bytes that are no UTF-8 are cut like any other byte.
std::string_view cutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace quavelink
