#pragma once

#include <QColor>
#include <cstdint>

namespace quavelink {

//! A colour given as 0x00BBGGRR (the form the streaming core hands over).
QColor colorFromColorRef(std::uint32_t colorRef);

//! Each of red, green and blue reduced by `amount`, and 0 where it was below; alpha is dropped.
QColor darkenColor(const QColor& color, int amount);

}  // namespace quavelink
