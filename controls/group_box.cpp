#include "controls/group_box.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <cstdlib>

namespace quavelink {

namespace {

// The frame painted last by any group box, in its parent's coordinates.
struct LastFrame {
    QPointer<QWidget> parent;
    QRect rect;
};

LastFrame& lastFrame() {
    static LastFrame frame;
    return frame;
}

}  // namespace

CxGroupBox::CxGroupBox(QWidget* parent) : CxGroupBox(QString(), parent) {}

CxGroupBox::CxGroupBox(const QString& caption, QWidget* parent)
    : QWidget(parent),
      caption_(caption),
      borderColor_(palette().color(QPalette::Dark)),
      captionColor_(palette().color(QPalette::WindowText)),
      background_(palette().color(QPalette::Button)) {}

void CxGroupBox::Repaint() {
    update();
    repaint();
}

void CxGroupBox::SetText(const QString& caption) {
    if (caption_ == caption) return;
    caption_ = caption;
    Repaint();
}

void CxGroupBox::SetCaptionAlignment(Qt::Alignment alignment) {
    captionAlignment_ = alignment & Qt::AlignHorizontal_Mask;
    Repaint();
}

void CxGroupBox::SetBorderColor(const QColor& color) {
    if (borderColor_ == color) return;
    borderColor_ = color;
    Repaint();
}

void CxGroupBox::SetCaptionTextColor(const QColor& color) {
    if (captionColor_ == color) return;
    captionColor_ = color;
    Repaint();
}

void CxGroupBox::SetBackgroundColor(const QColor& color) {
    background_ = color;
    Repaint();
}

void CxGroupBox::SetFontName(const QString& family) {
    QFont f = font();
    f.setFamily(family);
    setFont(f);
    Repaint();
}

void CxGroupBox::SetFontSize(int pointSize) {
    if (pointSize <= 0) return;
    QFont f = font();
    f.setPointSize(pointSize);
    setFont(f);
    Repaint();
}

void CxGroupBox::SetFont(const QFont& font) {
    setFont(font);
    Repaint();
}

void CxGroupBox::SetBorderWidth(int width) {
    if (borderWidth_ == width) return;
    borderWidth_ = width;
    Repaint();
}

void CxGroupBox::SetCornerRadius(int radius) {
    if (cornerRadius_ == radius) return;
    cornerRadius_ = radius;
    Repaint();
}

void CxGroupBox::SetCaptionCornerRadius(int radius) {
    captionCornerRadius_ = radius;
    Repaint();
}

void CxGroupBox::SetTransparentInterior(bool transparent) {
    transparentInterior_ = transparent;
    Repaint();
}

QRect CxGroupBox::KeepClearOf(QRect frame, const QRect& last) {
    if (last.isNull()) return frame;
    if (std::abs(frame.left() - last.right()) <= 2) frame.setLeft(last.right() + 1);
    if (std::abs(frame.right() - last.left()) <= 2) frame.setRight(last.left() - 1);
    if (std::abs(frame.top() - last.bottom()) <= 2) frame.setTop(last.bottom() + 1);
    if (std::abs(frame.bottom() - last.top()) <= 2) frame.setBottom(last.top() - 1);
    return frame;
}

void CxGroupBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics metrics(font());
    const QString caption = QStringLiteral("  ") + caption_ + QStringLiteral("  ");
    const int textHeight = metrics.height();
    const int textWidth = metrics.horizontalAdvance(caption);

    QRect frame(0, textHeight / 2, width(), height() - textHeight / 2);
    if (parentWidget() != nullptr) {
        LastFrame& last = lastFrame();
        const QPoint offset = pos();
        if (last.parent == parentWidget()) {
            frame = KeepClearOf(frame.translated(offset), last.rect).translated(-offset);
        }
        last.parent = parentWidget();
        last.rect = frame.translated(offset);
    }

    // A pen of width w is centred on the path: inset so the whole border stays inside.
    const qreal inset = borderWidth_ / 2.0;
    const QRectF outline = QRectF(frame).adjusted(inset, inset, -inset, -inset);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPen border(borderColor_, borderWidth_);
    p.setPen(borderWidth_ > 0 ? border : Qt::NoPen);
    p.setBrush(transparentInterior_ ? QBrush(Qt::NoBrush) : QBrush(background_));
    p.drawRoundedRect(outline, cornerRadius_ / 2.0, cornerRadius_ / 2.0);
    // Without a caption there is nothing to put in a tab: an empty one looks like a fault.
    if (caption_.isEmpty()) return;

    int x = cornerRadius_ + 10;
    if (captionAlignment_ & Qt::AlignRight) {
        x = width() - cornerRadius_ - 10 - textWidth;
    } else if (captionAlignment_ & Qt::AlignHCenter) {
        x = (width() - textWidth) / 2;
    }
    const QRect textRect(x, 0, textWidth, textHeight);
    const int widen = frame.width() / 17;
    const int raise = textHeight / 7;
    const QRect box = textRect.adjusted(-widen, -raise, widen, raise);
    const int rounding = captionCornerRadius_ >= 0 ? captionCornerRadius_ : textHeight;
    p.setBrush(background_);
    p.drawRoundedRect(QRectF(box).adjusted(inset, inset, -inset, -inset), rounding / 2.0,
                      rounding / 2.0);
    p.setPen(captionColor_);
    p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, caption);
}

}  // namespace quavelink
