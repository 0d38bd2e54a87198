#include "meter_scale.h"

#include <cmath>

namespace quavelink {

int meterLevel(int magnitude) {
    constexpr double kThreshold = 1500.0;
    constexpr double kSpan = 32768.0 - kThreshold;
    static const double kScale = kSpan / (20.0 * std::log10(kSpan / kThreshold));
    if (magnitude <= kThreshold) return magnitude;
    return static_cast<int>(20.0 * std::log10(magnitude / kThreshold) * kScale + kThreshold);
}

}  // namespace quavelink
