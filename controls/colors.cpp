#include "controls/colors.h"

#include <algorithm>

namespace quavelink {

QColor colorFromColorRef(std::uint32_t colorRef) {
    return QColor(colorRef & 0xFF, (colorRef >> 8) & 0xFF, (colorRef >> 16) & 0xFF);
}

QColor darkenColor(const QColor& color, int amount) {
    return QColor(std::max(0, color.red() - amount), std::max(0, color.green() - amount),
                  std::max(0, color.blue() - amount));
}

}  // namespace quavelink
