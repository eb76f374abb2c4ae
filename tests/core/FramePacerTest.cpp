#include "core/pacing/FramePacer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace core {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// The main loop with the clock in the test's hands: it waits as the pacer says, then draws a
// frame whose Present takes presentNs (the wait for a vertical blank, where there is one), with
// the user's input every inputEveryNs (0: none). Frames drawn per second over ten seconds.
double framesPerSecond(double refreshHz, std::int64_t presentNs, std::int64_t inputEveryNs) {
    FramePacer pacer(refreshHz);
    constexpr std::int64_t kSpanNs = 10'000 * kMs;
    std::int64_t now = 0;
    std::int64_t nextInput = 0;
    int frames = 0;
    while (now < kSpanNs) {
        if (inputEveryNs > 0 && now >= nextInput) {
            pacer.noteInput(now);
            nextInput += inputEveryNs;
        }
        const std::int64_t wait = pacer.waitNs(now);
        if (wait > 0) {
            // A message wakes the wait early.
            now += inputEveryNs > 0 ? std::min(wait, std::max<std::int64_t>(nextInput - now, 1)) : wait;
            continue;
        }
        pacer.frameStarted(now);
        ++frames;
        now += presentNs;
    }
    return frames / 10.0;
}

TEST(FramePacer, DrawsAtTheDisplaysRateWhileInUseAndThirtyAFrameOtherwise) {
    // A Present that returns at once, as under Wine on a virtual X server.
    EXPECT_NEAR(framesPerSecond(60.0, 0, 0), 30.0, 0.5);
    EXPECT_NEAR(framesPerSecond(60.0, 0, 50 * kMs), 66.7, 1.0);
    EXPECT_NEAR(framesPerSecond(144.0, 0, 50 * kMs), 160.0, 1.5);
    // A Present that waits for a 60 Hz vertical blank keeps its rate: no frame misses its blank
    // through a wait of the pacer's own.
    EXPECT_NEAR(framesPerSecond(60.0, 16'667'000, 50 * kMs), 60.0, 0.5);
}

TEST(FramePacer, ARefreshRateThatSaysNothingCountsAsSixty) {
    for (const double hz : {0.0, 1.0, 10000.0, -5.0}) EXPECT_NEAR(framesPerSecond(hz, 0, 50 * kMs), 66.7, 1.0) << hz;
}

TEST(FramePacer, InputEndsAnIdleWaitAtOnceAndTheRateFallsBackASecondAfterIt) {
    FramePacer pacer(60.0);
    pacer.frameStarted(0);
    EXPECT_EQ(pacer.waitNs(10 * kMs), 1'000'000'000 / 30 - 10 * kMs);
    pacer.noteInput(10 * kMs);
    EXPECT_EQ(pacer.waitNs(10 * kMs), 5 * kMs);  // 15 ms after the last frame
    EXPECT_EQ(pacer.waitNs(20 * kMs), 0);
    pacer.frameStarted(1000 * kMs);
    EXPECT_EQ(pacer.waitNs(1005 * kMs), 10 * kMs);
    pacer.frameStarted(1010 * kMs);
    EXPECT_GT(pacer.waitNs(1011 * kMs), 20 * kMs) << "a second after the input, slow again";
}

}  // namespace
}  // namespace core
