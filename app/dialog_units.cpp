#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace quavelink {
namespace {

// value * numerator / denominator, rounded half away from zero.
int mulDiv(int value, int numerator, int denominator) {
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

QRect dialogRect(const DialogBaseUnits& units, int x, int y, int width, int height) {
    int left = mulDiv(x, units.x, 4);
    int top = mulDiv(y, units.y, 8);
    int right = mulDiv(x + width, units.x, 4);
    int bottom = mulDiv(y + height, units.y, 8);
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace quavelink
