#include "controls/offscreen_painter.h"

#include <QImage>
#include <QPaintDevice>

namespace quavelink {

namespace {

QRect devicePixels(const QRect& rect, qreal ratio) {
    return QRect((rect.topLeft() * ratio), (rect.size() * ratio));
}

}  // namespace

CMemDC::CMemDC(QPainter& target, const QRect& rect, const QColor& background, bool copyBackground)
    : target_(target), rect_(rect), memory_(false) {
    QPaintDevice* device = target.device();
    if (device == nullptr) return;
    if (rect_.isEmpty()) rect_ = QRect(0, 0, device->width(), device->height());
    // Printers get the drawing directly: a bitmap copy would print at screen resolution.
    if (rect_.isEmpty() || device->devType() == QInternal::Printer) return;
    memory_ = true;

    const qreal ratio = device->devicePixelRatioF();
    bool copied = false;
    if (copyBackground && device->devType() == QInternal::Image) {
        pixmap_ =
            QPixmap::fromImage(static_cast<QImage*>(device)->copy(devicePixels(rect_, ratio)));
        copied = true;
    } else if (copyBackground && device->devType() == QInternal::Pixmap) {
        pixmap_ = static_cast<QPixmap*>(device)->copy(devicePixels(rect_, ratio));
        copied = true;
    }
    if (!copied) {
        pixmap_ = QPixmap(rect_.size() * ratio);
        pixmap_.fill(background);
    }
    pixmap_.setDevicePixelRatio(ratio);
    painter_.emplace(&pixmap_);
    painter_->setFont(target.font());
    painter_->setPen(target.pen());
    painter_->setBrush(target.brush());
    painter_->translate(-rect_.topLeft());
}

CMemDC::~CMemDC() {
    if (!memory_) return;
    painter_.reset();
    target_.drawPixmap(rect_.topLeft(), pixmap_);
}

QPainter& CMemDC::painter() { return memory_ ? *painter_ : target_; }

}  // namespace quavelink
