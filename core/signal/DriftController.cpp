#include "core/signal/DriftController.h"

#include <algorithm>
#include <cmath>

namespace core {

namespace {

// A callback gap longer than this (a stalled device, a debugger) must not swing the filter
// or the integral as if the fill had held its value all that time.
constexpr double kMaxStepSeconds = 0.5;
// Proportional gain, per unit of relative fill error.
constexpr double kProportionalGain = 0.003;
// Integral gain, per unit of relative fill error per second; slow, since the integral only
// has to find the clocks' fixed offset.
constexpr double kIntegralGain = 0.000077;

}  // namespace

DriftController::DriftController(double targetFrames, double limit)
    : target_(std::max(targetFrames, 1.0)), limit_(std::fabs(limit)) {}

void DriftController::reset() {
    filtered_ = 0.0;
    primed_ = false;
}

void DriftController::seed(double integral) {
    integral_ = std::clamp(integral, -limit_, limit_);
}

double DriftController::eFoldSeconds(double rateHz) const {
    return target_ / (kProportionalGain * rateHz);
}

// far output's thread: no locks, no allocation
double DriftController::update(double fillFrames, double dtSeconds, bool learn) {
    const double d = std::clamp(dtSeconds, 0.0, kMaxStepSeconds);
    if (primed_) {
        // A one-pole low-pass with a time constant of about one second: the fill arrives
        // in the producer's and the converter's blocks, and those steps are not drift.
        filtered_ += d / (d + 1.0) * (fillFrames - filtered_);
    } else {
        filtered_ = fillFrames;
        primed_ = true;
    }
    const double error = (filtered_ - target_) / target_;
    if (learn) integral_ = std::clamp(integral_ + error * kIntegralGain * d, -limit_, limit_);
    const double correction = std::clamp(-(error * kProportionalGain + integral_), -limit_, limit_);
    factor_ = 1.0 + correction;
    return factor_;
}

}  // namespace core
