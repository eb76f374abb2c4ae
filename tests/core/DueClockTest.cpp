#include "core/signal/DueClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using core::DueClock;

// A stream of callbacks (480 frames each unless told) whose device runs ppm off 48 kHz, each
// callback late by 0 to 1.5 ms; lose(ms) moves the rest of its schedule later, as callbacks
// lost to a hold-up do; stall(ms) holds the next callback up that long, and those due
// meanwhile come with it.
class LateStream {
public:
    explicit LateStream(double ppm, double periodFrames = 480)
        : hz_(48000.0 * (1.0 + ppm * 1e-6)), periodFrames_(periodFrames) {}
    void lose(double ms) { shiftNs_ += ms * 1e6; }
    void stall(double ms) { stallUntilNs_ = 1e9 + frames_ / hz_ * 1e9 + shiftNs_ + ms * 1e6; }
    // Calls the clock for the next callback; returns how far before the true due time the
    // clock put it, in ms (negative: after it).
    double next(DueClock& clock) {
        const double dueNs = 1e9 + frames_ / hz_ * 1e9 + shiftNs_;
        const auto nowNs = static_cast<std::int64_t>(std::max(dueNs + late_(random_) * 1e6, stallUntilNs_));
        const std::int64_t due = clock.due(nowNs, frames_);
        EXPECT_LE(due, nowNs) << "never after the callback came";
        frames_ += periodFrames_;
        return (dueNs - static_cast<double>(due)) * 1e-6;
    }
    // The largest error over callbacks from..to (counted from now on).
    double worstMs(DueClock& clock, int from, int to) {
        double worst = 0.0;
        for (int i = 0; i < to; ++i) {
            const double error = next(clock);
            if (i >= from) worst = std::max(worst, std::fabs(error));
        }
        return worst;
    }

private:
    double hz_;
    double periodFrames_;
    double frames_ = 0.0;
    double shiftNs_ = 0.0;
    double stallUntilNs_ = 0.0;
    std::mt19937_64 random_{3};
    std::uniform_real_distribution<double> late_{0.0, 1.5};
};

// Callbacks up to 1.5 ms late give the due time to within the lateness of the least late of
// the last second's hundred: some hundredths of a millisecond.
TEST(DueClock, ReadsPastTheCallbacksLateness) {
    LateStream stream(0.0);
    DueClock clock(48000.0, true);
    EXPECT_FALSE(clock.settled());
    stream.worstMs(clock, 0, DueClock::kSettleCalls);
    EXPECT_TRUE(clock.settled());
    EXPECT_LT(stream.worstMs(clock, 100, 3000), 0.1);
}

// A second of 2048-frame callbacks holds 23, the least late of which is now and then some
// tenths of a millisecond late: a coarse stream's window holds a hundred.
TEST(DueClock, LooksBackOverAHundredCallbacksOfACoarseStream) {
    LateStream stream(0.0, 2048);
    DueClock clock(48000.0, true, DueClock::windowFor(2048 / 48000.0));
    EXPECT_LT(stream.worstMs(clock, 200, 3000), 0.1);
}

// Callbacks lost for 100 ms: once they have stayed that late for that long again, the schedule
// starts afresh from the least late of them, instead of putting every callback after it 100 ms
// early. A thread stalled for as long, whose callbacks then come in a burst, moved nothing: the
// schedule stays.
TEST(DueClock, StartsAfreshWhenTheStreamMovesOnButNotAfterAStall) {
    LateStream stream(0.0);
    DueClock clock(48000.0, true);
    stream.worstMs(clock, 0, 200);
    stream.stall(100.0);
    EXPECT_LT(stream.worstMs(clock, 0, 300), 0.1) << "a stall";
    stream.lose(100.0);
    EXPECT_GT(stream.worstMs(clock, 0, 1), 99.0) << "read as a stall at first";
    EXPECT_LT(stream.worstMs(clock, 11, 100), 1.5) << "then as late as they came";
    EXPECT_TRUE(clock.settled()) << "a stream that moved on is not one just begun";
    EXPECT_LT(stream.worstMs(clock, 100, 1000), 0.1);
}

// Until the rate is measured it may be 900 ppm off: the short window keeps the skew small, and
// once the rate is known the callbacks already seen are weighed at it.
TEST(DueClock, ARateFarOffSkewsItLittleUntilMeasured) {
    for (const double ppm : {900.0, -900.0}) {
        SCOPED_TRACE(ppm);
        LateStream stream(ppm);
        DueClock clock(48000.0);
        // The skew across the window, and the least late one's own lateness on top.
        const double skewMs = DueClock::kNominalWindowSeconds * 1e3 * std::fabs(ppm) * 1e-6;
        EXPECT_LT(stream.worstMs(clock, 100, 1000), skewMs + 0.25);
        clock.setRate(48000.0 * (1.0 + ppm * 1e-6));
        EXPECT_LT(stream.worstMs(clock, 0, 3000), 0.1);
    }
}

}  // namespace
