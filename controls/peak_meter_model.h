#pragma once

#include <mutex>
#include <vector>

namespace quavelink {

//! One meter band as it is drawn.
struct BandState {
    int level = 0;   //!< value drawn now, 0..full scale
    int target = 0;  //!< value the level moves toward
    int peak = 0;    //!< position of the peak line
    int hold = 0;    //!< ticks left before the peak starts to fall
};

//! The arithmetic of the LED level meter, without any drawing: values delivered from any
//! thread, the periodic tick that moves the drawn levels, and the snapshot that painting reads.
//! All members are thread-safe; each takes one short internal lock and never allocates except
//! SetBandLayout/ResetBands.
class PeakMeterModel {
  public:
    PeakMeterModel();

    //! Stores the thresholds; takes effect on the next tick or paint. Any thread.
    void SetRanges(int lowThreshold, int mediumThreshold, int fullScale);
    //! Ignored unless both are > 0; stores them and runs ResetBands. Any thread (allocates).
    void SetBandLayout(int bands, int ledsPerBand);
    //! Every band to level = target = peak = full scale of this moment, hold = hold ticks;
    //! forgets pending values. Any thread (allocates).
    void ResetBands();

    //! New values for bands first..first+count-1. `values` is indexed by band number: element i
    //! belongs to band i, so the array holds at least first + count ints. Bands that do not
    //! exist are ignored; a negative `first`, a null `values` or count < 1 ignores the call.
    //! Between two ticks each band keeps the largest value delivered. Any thread; the lock is
    //! held for a few assignments only.
    void SetData(const int* values, int first, int count);

    //! The periodic update: applies pending values, lets levels fall and peaks hold and drop.
    //! Returns whether new data was applied. Any thread (the meter's timer thread).
    bool Tick();

    //! Copy of the band records for painting. Any thread.
    std::vector<BandState> Bands() const;

    int lowThreshold() const;
    int mediumThreshold() const;
    int fullScale() const;
    int bandCount() const;
    int ledsPerBand() const;
    int holdTicks() const;

    //! One band's step of Tick, given the layout of that moment. Pure.
    static BandState TickBand(BandState band, bool newData, int fullScale, int ledsPerBand);

  private:
    bool ApplyPendingLocked();
    void ResetBandsLocked();

    mutable std::mutex mutex_;
    int lowThreshold_ = 60;
    int mediumThreshold_ = 80;
    int fullScale_ = 100;
    int bandCount_ = 8;
    int ledsPerBand_ = 8;
    int holdTicks_ = 10;
    std::vector<BandState> bands_;
    std::vector<int> pending_;
    // Per band, so that deliveries for different band ranges between two ticks are all kept.
    std::vector<char> pendingSet_;
    bool pendingAny_ = false;
};

}  // namespace quavelink
