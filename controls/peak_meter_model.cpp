#include "controls/peak_meter_model.h"

#include <algorithm>

namespace quavelink {

PeakMeterModel::PeakMeterModel() { ResetBandsLocked(); }

void PeakMeterModel::SetRanges(int lowThreshold, int mediumThreshold, int fullScale) {
    std::lock_guard lock(mutex_);
    lowThreshold_ = lowThreshold;
    mediumThreshold_ = mediumThreshold;
    // Everything divides by the full scale; a zero would be a broken configuration, not a
    // reason to crash the timer thread.
    fullScale_ = std::max(1, fullScale);
}

void PeakMeterModel::SetBandLayout(int bands, int ledsPerBand) {
    if (bands <= 0 || ledsPerBand <= 0) return;
    std::lock_guard lock(mutex_);
    bandCount_ = bands;
    ledsPerBand_ = ledsPerBand;
    ResetBandsLocked();
}

void PeakMeterModel::ResetBands() {
    std::lock_guard lock(mutex_);
    ResetBandsLocked();
}

void PeakMeterModel::ResetBandsLocked() {
    bands_.assign(bandCount_, BandState{fullScale_, fullScale_, fullScale_, holdTicks_});
    pending_.assign(bandCount_, 0);
    pendingSet_.assign(bandCount_, 0);
    pendingAny_ = false;
}

void PeakMeterModel::SetData(const int* values, int first, int count) {
    if (first < 0 || values == nullptr || count < 1) return;
    std::lock_guard lock(mutex_);
    const int end = std::min(bandCount_, first + count);
    for (int i = first; i < end; ++i) {
        pending_[i] = pendingSet_[i] ? std::max(pending_[i], values[i]) : values[i];
        pendingSet_[i] = 1;
        pendingAny_ = true;
    }
}

bool PeakMeterModel::ApplyPendingLocked() {
    if (!pendingAny_) return false;
    pendingAny_ = false;
    for (int i = 0; i < bandCount_; ++i) {
        if (!pendingSet_[i]) continue;
        pendingSet_[i] = 0;
        int v = std::min(pending_[i], fullScale_);
        if (v < 1) v = 0;
        BandState& band = bands_[i];
        band.target = v;
        if (band.peak < v) {
            band.peak = v;
            band.hold = holdTicks_;
        }
    }
    return true;
}

BandState PeakMeterModel::TickBand(BandState band, bool newData, int fullScale, int ledsPerBand) {
    const int step = fullScale / ledsPerBand;
    if (band.level > 0 && band.level == band.target && !newData) {
        const int drop = ledsPerBand < 2 ? fullScale * 10 / 100 : step;
        band.level = std::max(0, band.level - drop);
        band.target = std::max(0, band.target - drop);
    }
    if (band.level != band.target) {
        if (band.target > band.level) {
            band.level = band.target;
        } else {
            // About a quarter of the gap per tick, and at least one unit.
            const int n = (band.target - band.level - 2) / 4;
            band.level += n >= 0 ? -1 : n;
        }
    }
    if (band.hold > 0) --band.hold;
    if (band.hold == 0 && band.peak > 0) {
        const int drop = ledsPerBand < 2 ? 5 : step / 2;
        band.peak = std::max(0, band.peak - drop);
    }
    return band;
}

bool PeakMeterModel::Tick() {
    std::lock_guard lock(mutex_);
    const bool newData = ApplyPendingLocked();
    for (BandState& band : bands_) band = TickBand(band, newData, fullScale_, ledsPerBand_);
    return newData;
}

std::vector<BandState> PeakMeterModel::Bands() const {
    std::lock_guard lock(mutex_);
    return bands_;
}

int PeakMeterModel::lowThreshold() const {
    std::lock_guard lock(mutex_);
    return lowThreshold_;
}
int PeakMeterModel::mediumThreshold() const {
    std::lock_guard lock(mutex_);
    return mediumThreshold_;
}
int PeakMeterModel::fullScale() const {
    std::lock_guard lock(mutex_);
    return fullScale_;
}
int PeakMeterModel::bandCount() const {
    std::lock_guard lock(mutex_);
    return bandCount_;
}
int PeakMeterModel::ledsPerBand() const {
    std::lock_guard lock(mutex_);
    return ledsPerBand_;
}
int PeakMeterModel::holdTicks() const {
    std::lock_guard lock(mutex_);
    return holdTicks_;
}

}  // namespace quavelink
