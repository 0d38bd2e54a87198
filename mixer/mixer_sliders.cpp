#include "mixer/mixer_sliders.h"

#include <QSignalBlocker>
#include <algorithm>

namespace quavelink {
namespace {

// Balance products can pass 32 bits for controls whose range is wider than 16 bits.
using Wide = std::uint64_t;
using Signed = std::int64_t;

}  // namespace

CMixerSliderCtrl::CMixerSliderCtrl(QWidget* parent) : QSlider(Qt::Vertical, parent) {}

void CMixerSliderCtrl::SetPos(int position) {
    QSignalBlocker quiet(this);
    setValue(maximum() + minimum() - position);
}

int CMixerSliderCtrl::GetPos() const { return maximum() + minimum() - value(); }

int CMixerSliderCtrl::Init(int minimumIn, int maximumIn, const std::uint32_t valuesIn[2]) {
    controlMinimum = minimumIn;
    controlMaximum = maximumIn;
    range = maximumIn - minimumIn;
    {
        QSignalBlocker quiet(this);
        setRange(0, range);
    }
    setTickInterval(std::max(1, range / 6));
    values[0] = valuesIn[0];
    values[1] = valuesIn[1];
    SetPos(range - static_cast<int>(std::max(values[0], values[1])));
    return 1;
}

int CMixerSliderCtrl::GetValue(int* level, int* rangeOut) const {
    *level = range - GetPos();
    *rangeOut = range;
    return *level;
}

std::uint32_t CMixerSliderCtrl::SetFromChannels(std::uint32_t left, std::uint32_t right) {
    std::uint32_t louder = std::max(left, right);
    SetPos(range - static_cast<int>(louder));
    return louder;
}

CMixerSliderHorz::CMixerSliderHorz(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void CMixerSliderHorz::SetPos(int position) {
    QSignalBlocker quiet(this);
    setValue(position);
}

int CMixerSliderHorz::Init(int minimumIn, int maximumIn, int channels,
                           const std::uint32_t valuesIn[2]) {
    controlMinimum = minimumIn;
    controlMaximum = maximumIn;
    range = maximumIn - minimumIn;
    fullWidth = 2 * range;
    if (channels < 2) return -1;
    {
        QSignalBlocker quiet(this);
        setRange(0, 2 * range);
    }
    setTickInterval(std::max(1, range));
    values[0] = valuesIn[0];
    values[1] = valuesIn[1];
    leftReference = values[0] == 0 ? 1 : values[0];
    rightReference = values[1] == 0 ? 1 : values[1];
    SetFromChannels(leftReference, rightReference);
    return 1;
}

int CMixerSliderHorz::SetFromChannels(std::uint32_t left, std::uint32_t right) {
    if (!isEnabledTo(parentWidget())) {
        SetPos((maximum() - minimum()) / 2);
        return 0;
    }
    if (left > 15 || right > 15) {
        leftReference = left == 0 ? 1 : left;
        rightReference = right == 0 ? 1 : right;
    }
    // Signed and wide: the louder reference keeps the difference non-negative, except for
    // quiet values that pass a reference of 1, which would otherwise wrap.
    const Signed r = range;
    Signed position;
    if (leftReference > rightReference) {
        Signed l = std::max(left, leftReference);
        Signed rr = std::max(right, rightReference);
        position = r - (l * r - rr * r) / l;
    } else {
        Signed rr = std::max(right, rightReference);
        Signed l = std::max(left, leftReference);
        position = (rr * r - l * r) / rr + r;
    }
    SetPos(static_cast<int>(std::clamp<Signed>(position, 0, 2 * r)));
    return 1;
}

int CMixerSliderHorz::SplitChannels(std::uint32_t& left, std::uint32_t& right,
                                    int& fullWidthOut) const {
    const Wide a = std::max(left, right);
    const int position = value();
    if (position <= range) {
        left = static_cast<std::uint32_t>(a);
        right = range == 0 ? static_cast<std::uint32_t>(a)
                           : static_cast<std::uint32_t>(a * position / range);
    } else {
        right = static_cast<std::uint32_t>(a);
        left = static_cast<std::uint32_t>(static_cast<Wide>(2 * range - position) * a / range);
    }
    fullWidthOut = 2 * range;
    return position;
}

}  // namespace quavelink
