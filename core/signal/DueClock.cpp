#include "core/signal/DueClock.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace core {

double DueClock::windowFor(double periodSeconds) {
    return std::clamp(kWindowCallbacks * periodSeconds, kWindowSeconds, kMaxWindowSeconds);
}

DueClock::DueClock(double rateHz, bool known, double windowSeconds)
    : rateHz_(rateHz),
      knownBins_(
          std::clamp(static_cast<std::size_t>(std::ceil(windowSeconds / kBinSeconds - 1e-9)), kNominalBins, kBins)),
      windowBins_(known ? knownBins_ : kNominalBins) {}

void DueClock::setRate(double rateHz) {
    if (rateHz > 0.0) rateHz_ = rateHz;
    windowBins_ = knownBins_;
}

void DueClock::restart(std::int64_t nowNs, double frames) {
    begun_ = true;
    originNs_ = nowNs;
    originFrames_ = frames;
    bin_ = 0;
    std::fill(std::begin(points_), std::end(points_), Point{});
}

double DueClock::lateness(const Point& point) const {
    return point.seconds - point.frames / rateHz_;
}

double DueClock::earliest() const {
    // The bins before the newest, which may hold only a callback or two so far, tell where
    // the stream's least late callbacks lie, once there are enough of them that one unlucky
    // bin does not.
    double late[kBins];
    std::size_t count = 0;
    double newest = std::numeric_limits<double>::infinity();
    for (std::size_t back = 0; back < windowBins_; ++back) {
        const std::int64_t bin = bin_ - static_cast<std::int64_t>(back);
        if (bin < 0) break;
        const Point& point = points_[static_cast<std::size_t>(bin % static_cast<std::int64_t>(kBins))];
        if (!point.set) continue;
        if (back == 0) newest = lateness(point);
        else late[count++] = lateness(point);
    }
    const double floor = count < kFloorBins ? -std::numeric_limits<double>::infinity() : onTimeFloor(late, count);
    double least = newest >= floor ? newest : std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < count; ++i) {
        if (late[i] >= floor) least = std::min(least, late[i]);
    }
    return least;
}

// Every callback, on the stream's own thread: the quartile alone is placed, not the whole.
double DueClock::onTimeFloor(double* late, std::size_t count) {
    std::nth_element(late, late + count / 4, late + count);
    return late[count / 4] - kEarlySeconds;
}

std::int64_t DueClock::due(std::int64_t nowNs, double frames) {
    if (!begun_) restart(nowNs, frames);
    const double seconds = std::max(0.0, static_cast<double>(nowNs - originNs_) * 1e-9);
    // Bins that fell out of the window are emptied before this callback is weighed.
    const auto bin = static_cast<std::int64_t>(seconds / kBinSeconds);
    for (std::int64_t b = bin_ + 1; b <= std::min(bin, bin_ + static_cast<std::int64_t>(kBins)); ++b)
        points_[static_cast<std::size_t>(b % static_cast<std::int64_t>(kBins))] = Point{};
    bin_ = std::max(bin_, bin);
    Point point{seconds, frames - originFrames_, true};
    double least = earliest();
    const double shift = lateness(point) - least;
    if (shift <= kShiftSeconds) {
        shifting_ = false;
    } else if (!shifting_ || shift < shiftLate_) {
        if (!shifting_) shiftFromSeconds_ = seconds;
        shifting_ = true;
        shiftNs_ = nowNs;
        shiftFrames_ = frames;
        shiftLate_ = shift;
    }
    if (shifting_ && seconds - shiftFromSeconds_ > shiftLate_ + kShiftSeconds) {
        // Later all along: it moved on. Those of the run that came later than the least late
        // one are off by their own lateness only.
        const std::int64_t fromNs = shiftNs_;
        const double fromFrames = shiftFrames_;
        shifting_ = false;
        restart(fromNs, fromFrames);
        point = Point{static_cast<double>(nowNs - fromNs) * 1e-9, frames - fromFrames, true};
        least = std::min(0.0, lateness(point));
        points_[0] = Point{0.0, 0.0, true};
        bin_ = static_cast<std::int64_t>(point.seconds / kBinSeconds);
    }
    if (calls_ < kSettleCalls) ++calls_;
    const double late = lateness(point);
    Point& slot = points_[static_cast<std::size_t>(bin_ % static_cast<std::int64_t>(kBins))];
    if (!slot.set || late < lateness(slot)) slot = point;
    return nowNs - static_cast<std::int64_t>(std::llround((late - std::min(least, late)) * 1e9));
}

}  // namespace core
