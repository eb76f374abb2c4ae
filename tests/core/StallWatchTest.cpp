#include "core/health/StallWatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace core {
namespace {

// The stall rule on its own, with the clock in the test's hands: the monitor runs every 500 ms
// as the window's timer runs it.
constexpr std::uint64_t kTimerMs = 500;

// An output that never calls back, opened at nowMs: how long until the watch calls it stalled.
std::uint64_t msUntilStalled(StallWatch& watch, std::uint64_t& nowMs) {
    watch.opened("null:0", nowMs);
    const std::uint64_t openedMs = nowMs;
    while (nowMs - openedMs < 200000) {
        nowMs += kTimerMs;
        watch.watching(nowMs);
        if (watch.stalled("null:0", 0, nowMs)) return nowMs - openedMs;
    }
    return 0;
}

// Runs the watch over an output that calls back between every two runs, for a span.
void runSteadily(StallWatch& watch, std::uint64_t& count, std::uint64_t& nowMs, std::uint64_t spanMs) {
    for (const std::uint64_t end = nowMs + spanMs; nowMs < end;) {
        nowMs += kTimerMs;
        watch.watching(nowMs);
        ASSERT_FALSE(watch.stalled("null:0", ++count, nowMs)) << "at " << nowMs;
    }
}

TEST(StallWatch, TheGraceDoublesWithEachStallInARowUpToAMinute) {
    StallWatch watch;
    std::uint64_t nowMs = 1000;
    std::vector<std::uint64_t> stalls;
    for (int i = 0; i < 7; ++i) stalls.push_back(msUntilStalled(watch, nowMs));
    EXPECT_EQ(stalls, (std::vector<std::uint64_t>{2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_EQ(watch.graceMs("null:0"), 60000u);
    EXPECT_EQ(watch.graceMs("null:1"), 2000u) << "a device the watch never saw";
}

TEST(StallWatch, AMinuteOfSteadyCallbacksBringsTheFirstGraceBack) {
    StallWatch watch;
    std::uint64_t nowMs = 1000;
    std::uint64_t count = 0;
    ASSERT_EQ(msUntilStalled(watch, nowMs), 2000u);
    ASSERT_EQ(msUntilStalled(watch, nowMs), 4000u);
    ASSERT_EQ(watch.graceMs("null:0"), 8000u);

    // Reopened; it calls back for 30 s, pauses 2.5 s (no stall at an 8 s grace, but no steady
    // run either), then calls back again: the minute starts over after the pause.
    watch.opened("null:0", nowMs);
    runSteadily(watch, count, nowMs, 30000);
    for (int i = 0; i < 5; ++i) {
        nowMs += kTimerMs;
        watch.watching(nowMs);
        ASSERT_FALSE(watch.stalled("null:0", count, nowMs));
    }
    runSteadily(watch, count, nowMs, kTimerMs);  // the first callback after the pause
    runSteadily(watch, count, nowMs, 59500);
    EXPECT_EQ(watch.graceMs("null:0"), 8000u) << "59.5 s of callbacks since the pause";
    runSteadily(watch, count, nowMs, kTimerMs);
    EXPECT_EQ(watch.graceMs("null:0"), 2000u) << "a minute of callbacks since the pause";
    EXPECT_EQ(msUntilStalled(watch, nowMs), 2000u);
}

TEST(StallWatch, TheStandstillCountsFromTheLastMoveOrFromTheOpen) {
    StallWatch watch;
    std::uint64_t nowMs = 5000;
    watch.opened("null:0", nowMs);
    watch.opened("null:1", nowMs);
    // null:1 starts calling back 1.5 s after its open: not stalled; null:0 never does.
    std::uint64_t count = 0;
    std::vector<std::string> stalled;
    for (std::uint64_t run = 1; run <= 8; ++run) {
        nowMs += kTimerMs;
        watch.watching(nowMs);
        if (run >= 3) ++count;
        if (watch.stalled("null:0", 0, nowMs)) stalled.push_back("null:0 at " + std::to_string(run * kTimerMs));
        if (watch.stalled("null:1", count, nowMs)) stalled.push_back("null:1 at " + std::to_string(run * kTimerMs));
    }
    EXPECT_EQ(stalled, std::vector<std::string>{"null:0 at 2000"});

    // null:1 stands still for 1.5 s, moves, and stands still again: 2 s after the last move.
    stalled.clear();
    const std::uint64_t movedMs = nowMs;
    for (std::uint64_t run = 1; run <= 10; ++run) {
        nowMs += kTimerMs;
        watch.watching(nowMs);
        if (run == 3) ++count;
        if (watch.stalled("null:1", count, nowMs)) stalled.push_back("at " + std::to_string(nowMs - movedMs));
    }
    EXPECT_EQ(stalled, std::vector<std::string>{"at 3500"});
}

TEST(StallWatch, TimeTheMonitorDidNotRunIsNoStall) {
    StallWatch watch;
    std::uint64_t nowMs = 1000;
    watch.opened("null:0", nowMs);
    nowMs += kTimerMs;
    watch.watching(nowMs);
    ASSERT_FALSE(watch.stalled("null:0", 5, nowMs));
    // The machine sleeps for 30 s; on waking the monitor runs before the output called back.
    nowMs += 30000;
    watch.watching(nowMs);
    EXPECT_FALSE(watch.stalled("null:0", 5, nowMs));
    std::uint64_t sinceWaking = 0;
    while (sinceWaking < 10000) {
        sinceWaking += kTimerMs;
        watch.watching(nowMs + sinceWaking);
        if (watch.stalled("null:0", 5, nowMs + sinceWaking)) break;
    }
    EXPECT_EQ(sinceWaking, 2000u) << "a standstill after waking still counts";
}

}  // namespace
}  // namespace core
