#include "client/playout/rate_controller.h"

#include <algorithm>

namespace quavelink {
namespace {
// ppm per ms of error: a level 1 ms off moves back with a time constant of about 2 s.
constexpr double kProportional = 500;
// ppm per ms of error and second: the integral part critically damps the loop.
constexpr double kIntegral = kProportional * kProportional / 1000 / 4;
}  // namespace

double RateController::update(double levelMs, double targetMs, double seconds) {
    double error = levelMs - targetMs;
    double proportional = kProportional * error;
    double wanted = integral + proportional;
    double low = integral - kMostGrowPpm, high = integral + kMostShrinkPpm;
    // The integral winds only while the correction is not held at a limit.
    if ((wanted > low || error > 0) && (wanted < high || error < 0)) {
        integral =
            std::clamp(integral + kIntegral * error * seconds, -kMostDriftPpm, kMostDriftPpm);
    }
    correction =
        std::clamp(integral + proportional, integral - kMostGrowPpm, integral + kMostShrinkPpm);
    return correction;
}

void RateController::reset(bool keepDrift) {
    if (!keepDrift) integral = 0;
    correction = integral;
}

}  // namespace quavelink
