#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quavelink {

//! Bytes of a client's name that the server keeps.
constexpr std::size_t kMaxClientNameBytes = 255;

//! The name a client sent with its Data request, as the server shows and logs it: its first
//! kMaxClientNameBytes bytes, with every character that could break a line, steer a terminal
//! or reorder the text around it (C0 and C1 controls, DEL, line and paragraph separators,
//! bidirectional embeddings, overrides and isolates) and every byte that is not valid UTF-8
//! replaced by '?'. A character that the cut split is left out. The result is never longer
//! than the kept bytes and is shown as plain text.
std::string displayableClientName(std::string_view received);

}  // namespace quavelink
