#include "controls/skin_button.h"

#include <QtWidgets/qdrawutil.h>

#include <QEnterEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>

namespace quavelink {

namespace {

constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kNearWhiteKey = 0xFEFEFE;

bool isKey(QRgb pixel, QRgb key) {
    const QRgb rgb = pixel & 0xFFFFFF;
    return rgb == (key & 0xFFFFFF) || ((key & 0xFFFFFF) == kNearWhiteKey && rgb == kWhite);
}

// White outside each row's span of non-key pixels, black inside; with `keyInside` also white
// where a pixel inside the span has the key colour.
QImage maskFromImage(const QImage& source, QRgb key, bool keyInside) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    QImage mask(image.size(), QImage::Format_RGB32);
    mask.fill(Qt::white);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QRgb* out = reinterpret_cast<QRgb*>(mask.scanLine(y));
        int first = 0;
        while (first < image.width() && isKey(row[first], key)) ++first;
        if (first == image.width()) continue;
        int last = image.width() - 1;
        while (isKey(row[last], key)) --last;
        for (int x = first; x <= last; ++x) {
            out[x] = keyInside && isKey(row[x], key) ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
        }
    }
    return mask;
}

}  // namespace

CxSkinButton::CxSkinButton(QWidget* parent)
    : QAbstractButton(parent), textColor_(palette().color(QPalette::ButtonText)) {}

QRegion CxSkinButton::RegionFromImage(const QImage& source, QRgb key) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    QRegion region;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int first = 0;
        while (first < image.width() && isKey(row[first], key)) ++first;
        if (first == image.width()) continue;
        int last = image.width() - 1;
        while (isKey(row[last], key)) --last;
        region += QRect(first, y, last - first + 1, 1);
    }
    return region;
}

void CxSkinButton::SetSkin(const SkinImages& images, int mask, int drawMode, bool edge,
                           int focusMargin) {
    images_ = images;
    if (images_.disabled.isNull()) images_.disabled = images_.normal;
    drawMode_ = drawMode < 0 ? 0 : drawMode > 3 ? 4 : drawMode;
    edge_ = edge;
    focusMargin_ = std::max(0, focusMargin);

    QImage source;
    QRgb key = kWhite;
    if (mask == kMaskFromNormal && !images_.normal.isNull()) {
        source = images_.normal;
        key = images_.normal.pixel(0, 0);
    } else if (mask != kNoMask && mask != kMaskFromNormal && !images_.mask.isNull()) {
        source = images_.mask;
    }
    region_ = source.isNull() ? QRegion() : RegionFromImage(source, key);
    maskBitmap_ = source.isNull() ? QImage() : maskFromImage(source, key, drawMode_ == 3);

    if (!region_.isEmpty() && (drawMode_ == 0 || drawMode_ == 3 || drawMode_ == 4)) {
        resize(source.size());
    }
    ApplyShape();
    updateGeometry();
    update();
}

void CxSkinButton::SetFineFaces(const SkinImages& images) {
    fineImages_ = images;
    if (fineImages_.disabled.isNull()) fineImages_.disabled = fineImages_.normal;
    ApplyShape();
    update();
}

bool CxSkinButton::FineFacesFor(qreal devicePixelRatio) const {
    return devicePixelRatio > 1.0 && drawMode_ == 0 && !fineImages_.normal.isNull();
}

void CxSkinButton::ApplyShape() {
    if (region_.isEmpty() || FineFacesFor(devicePixelRatioF())) {
        clearMask();
    } else {
        setMask(region_);
    }
}

bool CxSkinButton::hitButton(const QPoint& pos) const {
    return region_.isEmpty() ? QAbstractButton::hitButton(pos) : region_.contains(pos);
}

void CxSkinButton::SetForcedBitmap(int index) {
    forcedIndex_ = index;
    update();
}

void CxSkinButton::SetTextColor(const QColor& color) {
    textColor_ = color;
    update();
}

void CxSkinButton::SetTextAlignment(Qt::Alignment alignment) {
    textAlignment_ = alignment;
    update();
}

void CxSkinButton::SetMultiLine(bool on) {
    multiLine_ = on;
    update();
}

void CxSkinButton::SetFlat(bool on) {
    flat_ = on;
    update();
}

QSize CxSkinButton::sizeHint() const {
    return images_.normal.isNull() ? QSize(32, 32) : images_.normal.size();
}

void CxSkinButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    if (!hovering_) {
        hovering_ = true;
        update();
    }
}

void CxSkinButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    hovering_ = false;
    update();
}

void CxSkinButton::DrawFace(QPainter& p, const QImage& face, const QRect& rect, bool fine) const {
    if (fine) {
        // Its own transparency gives the shape; the painter scales it to the device pixels.
        p.save();
        p.setRenderHint(QPainter::SmoothPixmapTransform, true);
        p.drawImage(QRectF(rect), face);
        p.restore();
        return;
    }
    // The face is first laid out at the button's size, then the mask cuts it so the
    // background shows through wherever the mask is white.
    auto layout = [&](const QImage& image, QImage::Format format) {
        QImage out(rect.size(), format);
        out.fill(Qt::transparent);
        QPainter q(&out);
        if (drawMode_ == 2) {
            q.drawTiledPixmap(out.rect(), QPixmap::fromImage(image));
        } else if (drawMode_ == 1) {
            q.drawImage(QPoint(0, 0), image);
        } else {
            q.drawImage(out.rect(), image);
        }
        return out;
    };
    QImage composed = layout(face, QImage::Format_ARGB32_Premultiplied);
    if (!maskBitmap_.isNull()) {
        QImage mask = layout(maskBitmap_, QImage::Format_ARGB32);
        for (int y = 0; y < composed.height(); ++y) {
            QRgb* out = reinterpret_cast<QRgb*>(composed.scanLine(y));
            const QRgb* cut = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
            for (int x = 0; x < composed.width(); ++x) {
                if (qAlpha(cut[x]) != 0 && qRed(cut[x]) >= 128) out[x] = 0;
            }
        }
    }
    p.drawImage(rect.topLeft(), composed);
}

void CxSkinButton::DrawCaption(QPainter& p, QRect rect, bool shifted) const {
    if (text().isEmpty()) return;
    if (shifted) rect.translate(1, 1);
    int flags = textAlignment_ & Qt::AlignHorizontal_Mask;
    if (flags == 0) flags = Qt::AlignLeft;
    if (multiLine_) {
        const int vertical = textAlignment_ & Qt::AlignVertical_Mask;
        flags |= Qt::TextWordWrap | (vertical != 0 ? vertical : Qt::AlignVCenter);
    } else {
        flags |= Qt::TextSingleLine | Qt::AlignVCenter;
    }
    if (isEnabled()) {
        p.setPen(textColor_);
        p.drawText(rect, flags, text());
    } else {
        p.setPen(palette().color(QPalette::Light));
        p.drawText(rect.translated(1, 1), flags, text());
        p.setPen(palette().color(QPalette::Disabled, QPalette::Text));
        p.drawText(rect, flags, text());
    }
}

void CxSkinButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect item = rect();
    const QRect textRect = item.adjusted(focusMargin_ + 2, 0, -(focusMargin_ + 2), 0);
    // Qt keeps isDown() following the cursor while the mouse button is held.
    const bool pressed = isDown() || isChecked();

    // The painter's device says how fine its pixels are: the screen's backing store, or the
    // image a grab renders into.
    const QPaintDevice* target = p.paintEngine() != nullptr && p.paintEngine()->paintDevice()
                                     ? p.paintEngine()->paintDevice()
                                     : p.device();
    const bool fine = FineFacesFor(target->devicePixelRatioF());
    const SkinImages& faces = fine ? fineImages_ : images_;
    auto drawOrPlain = [&](const QImage& face) {
        if (face.isNull()) {
            p.fillRect(item, palette().color(QPalette::Button));
        } else {
            DrawFace(p, face, item, fine);
        }
    };

    bool shifted = false;
    if (drawMode_ == 4) {
        const QImage* forced[] = {&faces.normal,   &faces.pressed,         &faces.hover,
                                  &faces.disabled, &faces.pressedDisabled, &maskBitmap_};
        drawOrPlain(forcedIndex_ >= 1 && forcedIndex_ <= 5 ? *forced[forcedIndex_] : faces.normal);
    } else if (!isEnabled()) {
        if (pressed) {
            drawOrPlain(!faces.pressedDisabled.isNull() ? faces.pressedDisabled : faces.pressed);
            shifted = true;
        } else {
            drawOrPlain(faces.disabled);
        }
    } else if (pressed) {
        drawOrPlain(faces.pressed);
        shifted = true;
    } else if (hovering_ && !faces.hover.isNull()) {
        drawOrPlain(faces.hover);
    } else {
        drawOrPlain(faces.normal);
    }

    if (isEnabled() && hasFocus() && focusMargin_ > 0) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = item.adjusted(focusMargin_, focusMargin_, -focusMargin_, -focusMargin_);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
    }
    DrawCaption(p, textRect, shifted);

    if (edge_) {
        if (flat_) {
            p.setPen(Qt::black);
            p.setBrush(Qt::NoBrush);
            p.drawRect(item.adjusted(0, 0, -1, -1));
            p.setPen(pressed ? Qt::black : Qt::white);
            p.drawRect(item.adjusted(1, 1, -2, -2));
        } else {
            qDrawWinButton(&p, item, palette(), pressed);
        }
    }
}

}  // namespace quavelink
