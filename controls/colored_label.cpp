#include "controls/colored_label.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

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
    UpdateToolTip();
    return true;
}

QRect CColorStatic::TextRect() const {
    QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    // QLabel's own inset of framed text: half an x on the side the text starts from.
    int inset = indent() >= 0      ? indent()
                : frameWidth() > 0 ? fontMetrics().horizontalAdvance('x') / 2
                                   : 0;
    if (alignment() & Qt::AlignRight) {
        area.setRight(area.right() - inset);
    } else if (!(alignment() & Qt::AlignHCenter)) {
        area.setLeft(area.left() + inset);
    }
    return area;
}

QString CColorStatic::ShownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, TextRect().width());
}

void CColorStatic::UpdateToolTip() {
    // Escaped inside an explicit rich-text block: a name from the network is shown, never
    // interpreted.
    setToolTip(ShownText() == text()
                   ? QString()
                   : QStringLiteral("<qt>") + text().toHtmlEscaped() + QStringLiteral("</qt>"));
}

void CColorStatic::paintEvent(QPaintEvent*) {
    QPainter p(this);
    drawFrame(&p);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(TextRect(), static_cast<int>(alignment()) | Qt::TextSingleLine, ShownText());
}

void CColorStatic::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    UpdateToolTip();
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
