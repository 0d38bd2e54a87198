#pragma once

#include <QColor>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "controls/peak_meter_model.h"

namespace quavelink {

class PeriodicTimer;

//! The LED level meter: bands of LEDs in three colour zones with a peak line. Values arrive
//! through SetData from any thread; a timer thread started by Start runs Tick, which moves the
//! levels and posts a repaint to the GUI thread. Unless a member says otherwise, call it on the
//! GUI thread.
class CPeakMeterCtrl : public QWidget {
    Q_OBJECT
  public:
    //! Orientation flag: bands as rows with LEDs left to right (no peak line). Clear: columns.
    static constexpr int kHorizontal = 1;

    explicit CPeakMeterCtrl(QWidget* parent = nullptr);
    ~CPeakMeterCtrl() override;  // stops the timer thread before the widget goes

    void SetOrientation(int flags);
    void SetRanges(int lowThreshold, int mediumThreshold, int fullScale);
    //! Ignored unless both are > 0; every band restarts at the full scale of this moment.
    void SetBandLayout(int bands, int ledsPerBand);
    void SetShowGrid(bool on);
    void SetShowPeak(bool on);
    //! Background, normal, medium and high zone colours (defaults: the palette's button
    //! colour, RGB(0,220,0), RGB(245,180,0), RGB(255,0,0)).
    void SetColors(const QColor& background, const QColor& normal, const QColor& medium,
                   const QColor& high);

    //! Starts the timer thread that calls Tick every `period`. Returns whether the timer runs
    //! (true also when it already ran; the period then stays).
    bool Start(std::chrono::milliseconds period);
    //! Stops and joins the timer thread. Returns whether it was running.
    bool Stop();
    bool IsRunning() const;

    //! Thread-safe delivery; see PeakMeterModel::SetData (element i of `values` is band i).
    //! Any thread; no allocation, no drawing.
    void SetData(const int* values, int first, int count);

    //! The periodic update: PeakMeterModel::Tick plus a repaint request posted to the GUI
    //! thread. Any thread (normally the timer thread); never touches the widget directly.
    //! A subclass that overrides it calls Stop() in its own destructor, so no tick reaches a
    //! half-destroyed object.
    virtual void Tick();

    //! Every band back to full scale. Any thread.
    void ResetBands();

    //! Copy of the band records as painting sees them. Any thread.
    std::vector<BandState> Bands() const;

    int Orientation() const { return orientation_; }
    bool ShowGrid() const { return showGrid_; }
    bool ShowPeak() const { return showPeak_; }
    QColor BackgroundColor() const { return background_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    //! The LED arithmetic both layouts share; `leds` below 1 when there is nothing to draw.
    struct LedScale {
        int full = 0;
        int leds = 0;
        int lowLed = 0;   //!< first LED of the medium zone
        int highLed = 0;  //!< first LED of the high zone
    };
    LedScale ledScale() const;
    //! Colour of LED `led` (0 first) of a band with `lit` LEDs lit.
    QColor ledColor(int led, int lit, const LedScale& scale) const;
    //! Where LED `led` begins along `length` pixels.
    static int ledEdge(int led, int length, const LedScale& scale);
    void PaintVertical(class QPainter& p, const QRect& client, const std::vector<BandState>& bands);
    void PaintHorizontal(class QPainter& p, const QRect& client,
                         const std::vector<BandState>& bands);

    PeakMeterModel model_;
    std::unique_ptr<PeriodicTimer> timer_;
    std::atomic<bool> repaintPosted_{false};
    int orientation_ = 0;
    QColor background_;
    QColor normal_{0, 220, 0};
    QColor medium_{245, 180, 0};
    QColor high_{255, 0, 0};
    bool showGrid_ = false;
    bool showPeak_ = true;
};

}  // namespace quavelink
