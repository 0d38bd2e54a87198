#include "controls/color_static.h"

#include <QPalette>

namespace quavelink {

CColorStatic::CColorStatic(QWidget* parent) : CColorStatic(QString(), parent) {}

CColorStatic::CColorStatic(const QString& text, QWidget* parent)
    : QLabel(parent),
      textColor_(palette().color(QPalette::WindowText)),
      background_(palette().color(QPalette::Button)) {
    // Client names from the network end up here: markup must never be interpreted.
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setAutoFillBackground(true);
    ApplyPalette();
    QLabel::setText(text);
}

void CColorStatic::SetTextColor(const QColor& color) {
    textColor_ = color;
    ApplyPalette();
}

void CColorStatic::SetBackgroundColor(const QColor& color) {
    background_ = color;
    ApplyPalette();
}

bool CColorStatic::SetText(const QString& text) {
    if (text == QLabel::text()) return false;
    QLabel::setText(text);
    return true;
}

void CColorStatic::ApplyPalette() {
    QPalette colors = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colors.setColor(group, QPalette::WindowText, textColor_);
        colors.setColor(group, QPalette::Window, background_);
    }
    setPalette(colors);
    update();
}

}  // namespace quavelink
