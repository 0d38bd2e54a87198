#pragma once

#include <QFont>
#include <QRect>

namespace quavelink {

//! The pixel size of one horizontal (x / 4) and one vertical (y / 8) step of a window
//! template, taken from the template's font: the average width of the 52 Latin letters and
//! the font's line height.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

DialogBaseUnits dialogBaseUnits(const QFont& font);

//! A template rectangle (x, y, width, height in template units) in pixels, rounded to nearest.
QRect dialogRect(const DialogBaseUnits& units, int x, int y, int width, int height);

}  // namespace quavelink
