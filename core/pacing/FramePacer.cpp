#include "core/pacing/FramePacer.h"

#include <algorithm>

namespace core {

namespace {

constexpr double kFallbackRefreshHz = 60.0;

}  // namespace

// A little shorter than a refresh: where Present does wait for the vertical blank, it sets the
// pace, and a wait of ours on top would make every other frame miss it.
FramePacer::FramePacer(double refreshHz)
    : busyIntervalNs_(static_cast<std::int64_t>(
          0.9e9 / (refreshHz >= 24.0 && refreshHz <= 480.0 ? refreshHz : kFallbackRefreshHz))),
      idleIntervalNs_(static_cast<std::int64_t>(1e9 / kIdleHz)) {}

std::int64_t FramePacer::waitNs(std::int64_t nowNs) const {
    const bool busy = nowNs - lastInputNs_ < kBusyForNs;
    const std::int64_t due = lastFrameNs_ + (busy ? busyIntervalNs_ : idleIntervalNs_);
    return std::max<std::int64_t>(0, due - nowNs);
}

}  // namespace core
