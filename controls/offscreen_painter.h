#pragma once

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <optional>

namespace quavelink {

//! Off-screen drawing over a pixmap: draw through painter() with the target's coordinates,
//! and the result is copied to the target rectangle when this object goes. Used on the
//! painting thread only, within one paint.
class CMemDC {
  public:
    //! `target` must stay active for this object's life. `rect` in the target's logical
    //! coordinates (an empty rect: the target's whole device). With `copyBackground` the
    //! target's pixels are copied first where the target device is an image or a pixmap; in
    //! every other case (a widget) the pixmap starts filled with `background`. A printer target
    //! is drawn on directly.
    CMemDC(QPainter& target, const QRect& rect, const QColor& background,
           bool copyBackground = false);
    ~CMemDC();
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    //! The painter to draw with; logical coordinates are those of the target.
    QPainter& painter();
    //! Whether drawing goes to the off-screen pixmap (false for a printer target).
    bool IsMemory() const { return memory_; }
    QRect rect() const { return rect_; }

  private:
    QPainter& target_;
    QRect rect_;
    bool memory_;
    QPixmap pixmap_;
    std::optional<QPainter> painter_;
};

}  // namespace quavelink
