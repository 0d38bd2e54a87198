#include "controls/peak_meter_widget.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "controls/colors.h"
#include "controls/offscreen_painter.h"
#include "controls/periodic_timer.h"
#include "platform/hand_off.h"

namespace quavelink {

namespace {

// Windows-style rectangle: right and bottom are exclusive, which keeps the LED arithmetic
// identical to the integer layout it is meant to reproduce.
struct Box {
    int left, top, right, bottom;
    QRect rect() const { return QRect(left, top, right - left, bottom - top); }
};

// Lines here end one pixel short of their end point, like a two-point polyline.
void lineTo(QPainter& p, int x1, int y1, int x2, int y2) {
    if (x1 == x2 && y1 == y2) return;
    if (y1 == y2) {
        p.drawLine(x1, y1, x2 > x1 ? x2 - 1 : x2 + 1, y2);
    } else {
        p.drawLine(x1, y1, x2, y2 > y1 ? y2 - 1 : y2 + 1);
    }
}

int scaled(std::int64_t value, std::int64_t numerator, std::int64_t denominator) {
    return static_cast<int>(value * numerator / denominator);
}

}  // namespace

CPeakMeterCtrl::CPeakMeterCtrl(QWidget* parent)
    : QWidget(parent), background_(palette().color(QPalette::Button)) {
    // Every pixel is painted each time.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CPeakMeterCtrl::~CPeakMeterCtrl() { Stop(); }

void CPeakMeterCtrl::SetOrientation(int flags) { orientation_ = flags; }

void CPeakMeterCtrl::SetRanges(int lowThreshold, int mediumThreshold, int fullScale) {
    model_.SetRanges(lowThreshold, mediumThreshold, fullScale);
}

void CPeakMeterCtrl::SetBandLayout(int bands, int ledsPerBand) {
    model_.SetBandLayout(bands, ledsPerBand);
}

void CPeakMeterCtrl::SetShowGrid(bool on) {
    if (showGrid_ == on) return;
    showGrid_ = on;
    update();
}

void CPeakMeterCtrl::SetShowPeak(bool on) {
    if (showPeak_ == on) return;
    showPeak_ = on;
    update();
}

void CPeakMeterCtrl::SetColors(const QColor& background, const QColor& normal, const QColor& medium,
                               const QColor& high) {
    background_ = background;
    normal_ = normal;
    medium_ = medium;
    high_ = high;
    update();
}

bool CPeakMeterCtrl::Start(std::chrono::milliseconds period) {
    if (timer_) return true;
    timer_ = std::make_unique<PeriodicTimer>(period, [this] { Tick(); });
    return true;
}

bool CPeakMeterCtrl::Stop() {
    if (!timer_) return false;
    timer_.reset();
    return true;
}

bool CPeakMeterCtrl::IsRunning() const { return timer_ != nullptr; }

void CPeakMeterCtrl::SetData(const int* values, int first, int count) {
    model_.SetData(values, first, count);
}

void CPeakMeterCtrl::Tick() {
    model_.Tick();
    // Widgets belong to the GUI thread: the repaint is posted there, and only one request is
    // in flight so a blocked GUI thread does not collect a backlog of them. The destructor
    // joins the timer before the widget goes, and Qt drops events posted to a deleted object.
    if (!repaintPosted_.exchange(true)) {
        QMetaObject::invokeMethod(this, HandOff([this] {
                                      repaintPosted_ = false;
                                      update();
                                  }),
                                  Qt::QueuedConnection);
    }
}

void CPeakMeterCtrl::ResetBands() { model_.ResetBands(); }

std::vector<BandState> CPeakMeterCtrl::Bands() const { return model_.Bands(); }

void CPeakMeterCtrl::paintEvent(QPaintEvent*) {
    QPainter target(this);
    const QRect client(0, 0, width(), height());
    CMemDC mem(target, client, background_);
    QPainter& p = mem.painter();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(client, background_);
    p.setPen(QPen(darkenColor(background_, 15), 1));

    const std::vector<BandState> bands = model_.Bands();
    if (bands.empty()) return;
    if (orientation_ & kHorizontal) {
        PaintHorizontal(p, client, bands);
    } else {
        PaintVertical(p, client, bands);
    }
}

CPeakMeterCtrl::LedScale CPeakMeterCtrl::ledScale() const {
    LedScale scale;
    scale.full = model_.fullScale();
    scale.leds = model_.ledsPerBand() < 2 ? scale.full * 10 / 100 : model_.ledsPerBand();
    if (scale.leds < 1) return scale;
    scale.lowLed = scaled(model_.lowThreshold(), scale.leds, scale.full);
    scale.highLed = scaled(model_.mediumThreshold(), scale.leds, scale.full);
    return scale;
}

QColor CPeakMeterCtrl::ledColor(int led, int lit, const LedScale& scale) const {
    if (led >= lit) return showGrid_ ? darkenColor(background_, 15) : background_;
    return led < scale.lowLed ? normal_ : led < scale.highLed ? medium_ : high_;
}

// The LEDs share the length out, each one pixel longer or shorter than another at most, so
// that they fill it: a length that is no multiple of their count leaves no blank strip.
int CPeakMeterCtrl::ledEdge(int led, int length, const LedScale& scale) {
    return scaled(led, length, scale.leds);
}

void CPeakMeterCtrl::PaintVertical(QPainter& p, const QRect& client,
                                   const std::vector<BandState>& bands) {
    const LedScale scale = ledScale();
    if (scale.leds < 1) return;
    const int bandCount = static_cast<int>(bands.size());
    const int bandWidth = client.width() / bandCount;
    const int gapX = bandCount > 1 ? 1 : 0;
    const int gapY = scale.leds > 1 ? 1 : 0;
    const int bottom = client.height();

    for (int b = 0; b < bandCount; ++b) {
        const int left = b * bandWidth;
        const int right = left + bandWidth;
        const int lit = scaled(bands[b].level, scale.leds, scale.full);
        for (int j = 0; j < scale.leds; ++j) {
            const Box led{left + gapX, bottom - ledEdge(j + 1, client.height(), scale) + gapY,
                          right - gapX, bottom - ledEdge(j, client.height(), scale)};
            if (showGrid_ && (j == scale.lowLed || j == scale.leds - 1)) {
                const int y = led.top + (led.bottom - led.top) / 2;
                lineTo(p, led.left - gapX, y, led.right + gapX, y);
            }
            p.fillRect(led.rect(), ledColor(j, lit, scale));
        }
        if (showPeak_) {
            const QColor color = bands[b].peak > model_.mediumThreshold()
                                     ? darkenColor(QColor(255, 0, 0), 40)
                                     : darkenColor(background_, 80);
            const QPen saved = p.pen();
            p.setPen(QPen(color, 1));
            const int y = bottom - scaled(bands[b].peak, client.height(), scale.full);
            lineTo(p, left + gapX, y, right - gapX, y);
            p.setPen(saved);
        }
    }
}

void CPeakMeterCtrl::PaintHorizontal(QPainter& p, const QRect& client,
                                     const std::vector<BandState>& bands) {
    const LedScale scale = ledScale();
    if (scale.leds < 1) return;
    const int bandCount = static_cast<int>(bands.size());
    const int bandHeight = client.height() / bandCount;
    const int gapX = scale.leds > 1 ? 1 : 0;
    const int gapY = bandCount > 1 ? 1 : 0;
    // Rows end at the client bottom, as the columns of the vertical layout do.
    const int firstTop = client.height() - bandHeight * bandCount;

    for (int b = 0; b < bandCount; ++b) {
        const int top = firstTop + b * bandHeight;
        const int lit = scaled(bands[b].level, scale.leds, scale.full);
        for (int j = 0; j < scale.leds; ++j) {
            const Box led{ledEdge(j, client.width(), scale) + gapX, top + gapY,
                          ledEdge(j + 1, client.width(), scale), top + bandHeight - gapY};
            if (showGrid_ && (j == scale.lowLed || j == scale.leds - 1)) {
                const int x = led.left + (led.right - led.left) / 2;
                lineTo(p, x, led.top - gapY, x, led.bottom + gapY);
            }
            p.fillRect(led.rect(), ledColor(j, lit, scale));
        }
    }
}

}  // namespace quavelink
