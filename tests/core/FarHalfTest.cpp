#include "core/signal/FarHalf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "tests/support/JoinedClocks.h"

namespace {

using core::FarHalf;

constexpr std::int64_t kMsNs = 1'000'000;
const sim::Device kPrimary{48000, 480, 960};
const sim::Device kFar48{48000, 256, 512};

// The device with its clock that many ppm off.
sim::Device runningOff(sim::Device device, double ppm) {
    device.ppm = ppm;
    return device;
}

// A far half between two 48 kHz outputs on a clock the test moves by hand, the primary's
// periods 480 frames, with an offset learned before so that it need not measure the clocks.
struct HandClocked {
    HandClocked(std::uint32_t farPeriodFrames, std::uint32_t delayFrames)
        : half(
              core::planFarHalf(48000, 480, 0, 48000, farPeriodFrames, 0), delayFrames,
              [](void* clock) { return *static_cast<std::int64_t*>(clock); }, &nowNs, 0.0) {}
    std::int64_t nowNs = kMsNs;  // before half, which reads it
    FarHalf half;
};

TEST(FarHalfPlan, HoldsThreePeriodsOfTheCoarserSideAndMatchesTheLatencies) {
    const struct {
        const char* name;
        sim::Device far;
        double target;
        double margin;
    } cases[] = {
        {"far periods finer", kFar48, 480 * 3 + 512, 128},
        // 2048 frames at 44.1 kHz are 2229.1 at 48 kHz.
        {"far periods coarser, slower rate", {44100, 2048, 4096}, 7199, 64 / (44100.0 / 48000) + 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const core::FarHalfPlan plan = core::planFarHalf(48000, kPrimary.periodFrames, kPrimary.latencyFrames,
                                                         c.far.rateHz, c.far.periodFrames, c.far.latencyFrames);
        EXPECT_EQ(plan.fifoTargetFrames, c.target);
        EXPECT_DOUBLE_EQ(plan.marginFrames, c.margin);
        EXPECT_DOUBLE_EQ(plan.baseRatio, c.far.rateHz / 48000);
        EXPECT_GE(plan.fifoCapacityFrames, 4 * c.target + 4096);
        // The far half's extra path: its FIFO and its latency, against the primary's latency.
        EXPECT_NEAR(plan.mismatchMs, c.target / 48 + c.far.latencyFrames * 1000.0 / c.far.rateHz - 20.0, 1e-9);
    }
}

TEST(FarHalf, PrimesInSilenceStartsAtTheTargetAndCountsWhatDoesNotFitOrRunsShort) {
    HandClocked rig(480, 0);
    FarHalf& half = rig.half;
    std::int64_t& nowNs = rig.nowNs;
    ASSERT_TRUE(half.valid());
    const double target = half.plan().fifoTargetFrames;
    const double startAt = target + half.plan().marginFrames;
    const std::vector<float> ones(480, 1.0f);
    const float* out = nullptr;
    // A block in, a block out, 10 ms apart: silent until the FIFO holds the target and margin,
    // and for enough chunks to read it closely.
    int rounds = 0;
    while (half.figures().starts.load() == 0) {
        half.push(ones.data(), 480, nowNs);
        const bool carried = half.render(480, out);
        nowNs += 10 * kMsNs;
        ASSERT_LT(++rounds, 100);
        if (half.figures().starts.load() > 0) break;
        EXPECT_FALSE(carried);
        for (int i = 0; i < 480; ++i) ASSERT_EQ(out[i], 0.0f);
    }
    EXPECT_GE(rounds * 480.0, startAt);
    EXPECT_EQ(rounds, static_cast<int>(core::DueClock::kSettleCalls + FarHalf::kPrimeChunks - 1))
        << "its readings count once the far output's due times have enough callbacks behind them";
    EXPECT_LE(half.figures().trimmedFrames.load(), half.plan().marginFrames + 2.0 * FarHalf::kMaxChunkFrames + 480)
        << "kept from overflowing while it primes, then trimmed to the target";

    // No more pushes: it plays what is left, then counts the missing frames and primes again.
    int played = 0;
    while (half.render(480, out)) {
        nowNs += 10 * kMsNs;
        ASSERT_LT(++played, 100);
    }
    EXPECT_NEAR(played * 480.0, target, 2 * 480.0);
    EXPECT_GT(half.figures().underrunFrames.load(), 0u);
    EXPECT_FALSE(half.started());

    // More than the FIFO holds: the rest is counted.
    while (half.render(480, out)) {
    }
    const std::uint32_t capacity = half.plan().fifoCapacityFrames;
    for (int i = 0; i < 40; ++i) half.push(ones.data(), 480, nowNs);
    EXPECT_GT(half.figures().overflowFrames.load(), 0u);
    EXPECT_LE(half.figures().overflowFrames.load(), 40 * 480 - capacity) << "the FIFO holds at least " << capacity;
}

// A far output catching up after a stall calls many times at one instant. Its chunks after
// that are on the clock again: stamped ahead, they would all find the primary's last push too
// old to prime on, and the far half would stay silent for good.
TEST(FarHalf, StartsAfterItsOutputCaughtUpInABurst) {
    HandClocked rig(120, 0);
    FarHalf& half = rig.half;
    std::int64_t& nowNs = rig.nowNs;
    const std::vector<float> ones(480, 1.0f);
    const float* out = nullptr;
    for (int i = 0; i < 16; ++i) half.render(120, out);  // 40 ms at once
    // Then the primary pushes 480 frames every 10 ms, the far output takes 120 every 2.5 ms.
    for (int tick = 0; tick < 400 && half.figures().starts.load() == 0; ++tick) {
        if (tick % 4 == 0) half.push(ones.data(), 480, nowNs);
        half.render(120, out);
        nowNs += kMsNs * 5 / 2;
    }
    EXPECT_EQ(half.figures().starts.load(), 1u) << "started within a second";
}

constexpr double kLooseFrames = 24.0;  // 0.5 ms at 48 kHz
constexpr double kTightFrames = 2.4;   // 0.05 ms
constexpr double kCloseFrames = 6.0;   // 0.125 ms
const sim::Jitter kLate{1.5, 0.01, 3.0};

// The largest distance between the halves over the windows that end in [from, to], in frames;
// a stretch with no window the far half played throughout counts as out of line.
double worstLag(const sim::JoinedClocks& clocks, double from, double to) {
    double worst = 0.0;
    int counted = 0;
    for (const sim::Window& w : clocks.windows()) {
        if (w.endSeconds < from || w.endSeconds > to) continue;
        if (!w.valid) return 1e9;
        worst = std::max(worst, std::fabs(w.lagFrames));
        ++counted;
    }
    return counted > 0 ? worst : 1e9;
}

// How many of the windows that end in [from, to] the far half was silent in, in part or whole.
int silentWindows(const sim::JoinedClocks& clocks, double from, double to) {
    return static_cast<int>(std::count_if(clocks.windows().begin(), clocks.windows().end(), [&](const sim::Window& w) {
        return w.endSeconds >= from && w.endSeconds <= to && !w.valid;
    }));
}

// Started once, and never ran short nor overflowed (it is kept from overflowing while it waits).
void expectOneCleanStart(const FarHalf& half) {
    EXPECT_EQ(half.figures().starts.load(), 1u);
    EXPECT_EQ(half.figures().underrunFrames.load(), 0u);
    EXPECT_EQ(half.figures().overflowFrames.load(), 0u);
}

// Both halves must reach the air together: what the latency matching, the start's trim, the
// converter's hold count and the reading of chunks stamped ahead are for. The simulation
// measures the far half against the near half's sine as a listener would hear the two. Two
// sound cards never joined before are measured first: the far half starts after that. The
// callbacks' lateness is read past: one side's alone would otherwise hold the halves apart by
// its mean (0.78 ms).
TEST(FarHalf, PlaysInLineWithTheNearHalf) {
    const sim::Jitter steady{0, 0, 0};
    const sim::Device coarse{48000, 2048, 4096};
    const struct {
        const char* name;
        sim::Device primary;
        sim::Device far;
        sim::Jitter nearJitter;
        sim::Jitter farJitter;
        double toleranceFrames;
    } cases[] = {
        {"48 kHz, steady callbacks", kPrimary, kFar48, steady, steady, kTightFrames},
        {"48 kHz, late callbacks", kPrimary, kFar48, kLate, kLate, kCloseFrames},
        {"48 kHz, late near callbacks", kPrimary, kFar48, kLate, steady, kCloseFrames},
        {"48 kHz, late far callbacks", kPrimary, kFar48, steady, kLate, kCloseFrames},
        {"44.1 kHz, late callbacks", kPrimary, {44100, 441, 882}, kLate, kLate, kCloseFrames},
        // Coarse periods give the start and the clocks' measurement fewer readings.
        {"2048-frame periods, late callbacks", coarse, coarse, kLate, kLate, kCloseFrames},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::JoinedClocks clocks(c.primary, c.far, c.nearJitter);
        clocks.farJitter(c.farJitter);
        clocks.runUntil(20);
        const double start = clocks.firstStartSeconds();
        const double measure = core::planFarHalf(c.primary.rateHz, c.primary.periodFrames, c.primary.latencyFrames,
                                                 c.far.rateHz, c.far.periodFrames, c.far.latencyFrames)
                                   .measureSeconds;
        EXPECT_EQ(measure, c.primary.periodFrames == 2048 ? 6.4 : FarHalf::kMeasureSeconds) << "150 periods at least";
        // Then the readings to start from, each a chunk long.
        const double primeSeconds =
            FarHalf::kPrimeChunks * std::min(c.far.periodFrames, FarHalf::kMaxChunkFrames) / c.far.rateHz;
        EXPECT_GE(start, measure - 0.1);
        EXPECT_LT(start, measure + primeSeconds + 0.2);
        expectOneCleanStart(clocks.half());
        EXPECT_LE(worstLag(clocks, start + 1.0, 20.0), c.toleranceFrames);
    }
}

// The integral starts from the clocks' measured offset, so the halves never drift apart while
// it would otherwise find it.
TEST(FarHalf, StaysInLineWithAFarClockThatRunsOff) {
    for (const double ppm : {300.0, -300.0}) {
        SCOPED_TRACE(ppm);
        const sim::Device far = runningOff(kFar48, ppm);
        sim::JoinedClocks clocks(kPrimary, far, kLate);
        clocks.runUntil(60);
        EXPECT_NEAR(clocks.half().controller().factor(), 1.0 + ppm * 1e-6, 30e-6);
        EXPECT_LE(worstLag(clocks, clocks.firstStartSeconds() + 1.0, 60.0), kLooseFrames);
        expectOneCleanStart(clocks.half());
    }
}

// A rebuild's far half starts at once from the offset the last one learned, and learns it in
// turn once it has held the halves in line.
TEST(FarHalf, ALearnedOffsetStartsInStepAndIsLearnedAgain) {
    const sim::Device far = runningOff(kFar48, 300.0);
    sim::JoinedClocks clocks(kPrimary, far, kLate, 1, -300e-6);
    clocks.runUntil(FarHalf::kSettledSeconds + 5.0);
    EXPECT_LT(clocks.firstStartSeconds(),
              (core::DueClock::kSettleCalls + FarHalf::kPrimeChunks) * kFar48.periodFrames / kFar48.rateHz + 0.1);
    EXPECT_LE(worstLag(clocks, clocks.firstStartSeconds() + 1.0, FarHalf::kSettledSeconds + 5.0), kLooseFrames);
    double learned = 0.0;
    ASSERT_TRUE(clocks.half().learnedOffset(learned));
    EXPECT_NEAR(learned, -300e-6, 20e-6);
    EXPECT_EQ(clocks.half().figures().settled.load(), 1u) << "told to other threads";

    sim::JoinedClocks fresh(kPrimary, far, kLate);
    fresh.runUntil(FarHalf::kSettledSeconds / 2);
    EXPECT_FALSE(fresh.half().learnedOffset(learned)) << "not before it has settled";
    EXPECT_EQ(fresh.half().figures().settled.load(), 0u);
}

// A rebuild between sound cards 900 ppm apart is within a tenth of a millisecond of the near
// half in seconds: what the FIFO gains while it primes is counted at the rates the learned
// offset gives (nominal rates put its start 6 to 13 frames off). With 2048-frame periods the
// start, made before both due clocks have a window of callbacks behind them, lands a few frames
// off, won back once they have. One fit is only good to a few ppm, each of which holds the
// halves 2.2 frames apart: the fits are weighed together, and a learned offset a ppm off is not
// pulled further off by the first, short ones.
TEST(FarHalf, ARebuildIsSoonInLineToATenthOfAMillisecond) {
    const struct {
        const char* name;
        std::uint32_t periodFrames;
        double learnedOffPpm;
        double seconds;
        double from;  // after the start
        double toleranceFrames;
        std::uint64_t seed = 7;
    } cases[] = {
        {"480-frame periods", 480, 0.0, 30.0, 5.0, 2 * kTightFrames},
        {"2048-frame periods", 2048, 0.0, 60.0, 5.0, kTightFrames, 3},
        {"2048-frame periods, learned 1 ppm off", 2048, 1.0, 240.0, 10.0, kCloseFrames},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::Device primary{48000, c.periodFrames, 2 * c.periodFrames};
        const sim::Device far = runningOff(primary, 900.0);
        const double offset = 1.0 / (1.0 + far.ppm * 1e-6) - 1.0;
        sim::JoinedClocks clocks(primary, far, kLate, c.seed, offset + c.learnedOffPpm * 1e-6);
        clocks.runUntil(c.seconds);
        EXPECT_LE(worstLag(clocks, clocks.firstStartSeconds() + c.from, c.seconds), c.toleranceFrames);
        EXPECT_EQ(clocks.half().figures().starts.load(), 1u);
    }
}

// Once the far half has fitted the clocks' offset, its stream's due times run at the rate the
// fits give against the primary's measured one: each side's own measurement, some ppm off,
// would skew the distance read across the due clocks' window and hold the halves most of a
// frame apart for good.
TEST(FarHalf, ReadsTheDistanceAtTheFittedRates) {
    for (const auto& [ppm, seed] : {std::pair{-100.0, 1017}, std::pair{100.0, 1034}}) {
        SCOPED_TRACE(ppm);
        sim::JoinedClocks clocks(kPrimary, runningOff(kPrimary, ppm), kLate, seed);
        clocks.runUntil(150);
        EXPECT_NEAR(clocks.meanLagFrames(90), 0.0, 0.4);
    }
}

// A far sound card's latency runs as fast as its clock: 8192 frames at 900 ppm fast arrive
// 7.4 frames early, which the FIFO must make up for.
TEST(FarHalf, HoldsTheHalvesInLineWithAFastFarClockAndALongLatency) {
    sim::JoinedClocks clocks(kPrimary, {48000, 480, 8192, 900.0}, {0, 0, 0});
    clocks.runUntil(120);
    EXPECT_NEAR(clocks.meanLagFrames(60), 0.0, 1.0);
}

// The first measurement of the clocks, from the callbacks' times alone, is what the halves
// play by until the far half's own fits correct it: with 2048-frame periods it takes longer,
// and a clock far off the nominal rate must not tilt which callbacks it goes by.
TEST(FarHalf, MeasuresTheClocksCloselyWithLongPeriodsAndFarOffClocks) {
    const sim::Device coarse{48000, 2048, 4096};
    double squares = 0.0;
    int count = 0;
    for (const double ppm : {900.0, -900.0}) {
        for (std::uint64_t seed = 1; seed <= 6; ++seed) {
            sim::JoinedClocks clocks(coarse, runningOff(coarse, ppm), kLate, seed);
            clocks.runUntil(7.0);
            double integral = 0.0;
            ASSERT_TRUE(clocks.half().measuredOffset(integral));
            const double error = integral - (1.0 / (1.0 + ppm * 1e-6) - 1.0);
            squares += error * error;
            ++count;
        }
    }
    EXPECT_LT(std::sqrt(squares / count), 20e-6);
}

// Under Wine a shared-mode stream's callbacks run ahead of its clock for its first seconds,
// while it fills its buffer, and now and then one comes milliseconds early: the least late
// callbacks are then no guide to the clock, and taken as one they put the first measurement
// at the converter's limit. Bins that disagree are measured again; an early point they do not
// bear out is passed over.
TEST(FarHalf, MeasuresTheClocksPastAFillingBufferAndEarlyCallbacks) {
    const sim::Jitter wine{1.5, 0.01, 3.0, 0.003, 1.0};
    auto filling = [](sim::Device device) {
        device.fillSeconds = 2.0;
        device.aheadSeconds = 0.6;
        return device;
    };
    for (const double ppm : {220.0, -220.0}) {
        SCOPED_TRACE(ppm);
        sim::JoinedClocks clocks(filling(kPrimary), filling(runningOff(kFar48, ppm)), wine, 11);
        clocks.runUntil(30.0);
        double integral = 0.0;
        ASSERT_TRUE(clocks.half().measuredOffset(integral));
        EXPECT_NEAR(integral, 1.0 / (1.0 + ppm * 1e-6) - 1.0, 40e-6);
        const FarHalf::Figures& figures = clocks.half().figures();
        EXPECT_EQ(figures.measured.load(), 1u);
        EXPECT_FLOAT_EQ(figures.measuredOffset.load(), static_cast<float>(integral)) << "for the log";
        EXPECT_EQ(figures.measurementsSetAside.load(), 2u) << "each side's first, made while it filled its buffer";
        EXPECT_LT(clocks.firstStartSeconds(), FarHalf::kMeasureWaits * FarHalf::kMeasureSeconds + 0.5);
        EXPECT_LE(worstLag(clocks, clocks.firstStartSeconds() + 1.0, 30.0), kLooseFrames);
    }
}

// Until its fits find the clocks' offset, a first start plays by the one its callbacks' times
// gave, some ppm off, and the halves drift apart by it: with 1024-frame periods 20 frames in
// some draws, which the proportional part alone takes minutes to win back. A fit that moves
// the integral wins it back at once.
TEST(FarHalf, WinsBackAtOnceWhatTheHalvesDriftedApartBeforeTheFits) {
    const sim::Device primary{48000, 1024, 2048};
    for (const double ppm : {900.0, -500.0}) {
        SCOPED_TRACE(ppm);
        sim::JoinedClocks clocks(primary, runningOff(primary, ppm), kLate, 3);
        clocks.runUntil(90.0);
        EXPECT_LE(worstLag(clocks, clocks.firstStartSeconds() + 20.0, 90.0), kTightFrames);
        EXPECT_GE(clocks.half().figures().realigns.load(), 1u) << "counted, for the log";
    }
}

// With 2048-frame periods a 20 s stretch fits the clocks' offset to only 1 or 2 ppm (the least
// late callbacks wander by a few hundredths of a millisecond), and each ppm the integral is off
// holds the halves 2.2 frames apart. The stretches in a row are one line, read at one steady
// rate: within 0.05 ms a minute after a first start (one stretch at a time: 2 of these 7 draws
// were not within two).
TEST(FarHalf, FitsTheStretchesInARowAsOneLine) {
    const sim::Device coarse{48000, 2048, 4096};
    std::uint64_t seed = 1007;
    for (const double ppm : {0.0, 100.0, -100.0, 500.0, -500.0, 900.0, -900.0}) {
        SCOPED_TRACE(ppm);
        sim::JoinedClocks clocks(coarse, runningOff(coarse, ppm), kLate, seed++);
        clocks.runUntil(10.0);
        const double start = clocks.firstStartSeconds();
        clocks.runUntil(start + 75.0);
        EXPECT_LE(worstLag(clocks, start + 60.0, start + 75.0), kTightFrames);
    }
}

// Callbacks' times give the clocks' offset to some tens of ppm, and a shared-mode engine's
// first callbacks can leave it hundreds off; once the far half plays, its own stream gives it
// to a few, unless a hold-up bends the stretch it is fitted over.
TEST(FarHalf, FitsTheClocksOffsetFromItsOwnStreamButNotAcrossAHoldUp) {
    const sim::Device far = runningOff(kFar48, 300.0);
    const sim::Jitter slight{0.2, 0.0, 0.0};
    const struct {
        const char* name;
        sim::Jitter jitter;
        double learned;
        double seconds;
        std::uint32_t fits;
        double within;
    } cases[] = {
        // A learned offset is trusted to a few ppm: the first fit that contradicts it is set
        // aside, and taken with the next one that agrees with it.
        {"30 ppm off, slight jitter", slight, -270e-6, 40.0, 2, 3e-6},
        // Five seconds fit to some tens of ppm with callbacks up to 1.5 ms late, ten seconds
        // closer: together they take the integral most of the way.
        {"800 ppm off, callbacks late", sim::Jitter{}, 500e-6, 20.0, 1, 20e-6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::JoinedClocks clocks(kPrimary, far, c.jitter, 1, c.learned);
        clocks.runUntil(c.seconds);
        EXPECT_EQ(clocks.half().figures().fits.load(), c.fits);
        EXPECT_NEAR(clocks.half().controller().integral(), -300e-6, c.within);
        EXPECT_EQ(clocks.half().figures().starts.load(), 1u);
    }

    sim::JoinedClocks heldUp(kPrimary, far, slight, 1, -270e-6);
    heldUp.holdUp({true, 4.0, 6.0});  // a far callback lost in the first stretch, inside the band
    heldUp.runUntil(9.5);
    EXPECT_EQ(heldUp.half().figures().fits.load(), 0u) << "a stretch with a hold-up in it is fitted again";

    // With 128-frame periods a lost far callback steps the distance by 2.7 ms, inside the
    // band: the first stretch, with no fit before it to be weighed against, tilts by 900 ppm.
    const sim::Device fine{48000, 128, 256};
    for (const double at : {5.0, 5.5}) {
        sim::JoinedClocks stepped(fine, runningOff(fine, 300.0), slight, 1);
        stepped.holdUp({true, at, 3.0});
        stepped.runUntil(9.0);
        EXPECT_NEAR(stepped.half().controller().integral(), -300e-6, 50e-6) << "a step at " << at << " s";
    }
}

// Far halves that join the same two sound cards share their fits: one that has not fitted
// yet plays by another's fit once its own clocks are measured, one sure of its own sets aside
// a shared fit that contradicts it, and one that joins them the other way round takes the
// reversed offset.
TEST(FarHalf, WeighsTheFitsOfAnotherFarHalfOnTheSameClocks) {
    const sim::Device far = runningOff(kFar48, 300.0);
    const double offset = 1.0 / (1.0 + far.ppm * 1e-6) - 1.0;
    sim::JoinedClocks clocks(kPrimary, far, kLate);
    clocks.runUntil(1.0);
    clocks.half().shareFit(offset + 40e-6, 1e-6);  // before the clocks are measured: it waits
    clocks.runUntil(FarHalf::kMeasureSeconds + 1.0);
    EXPECT_EQ(clocks.half().figures().sharedFits.load(), 1u);
    EXPECT_EQ(clocks.half().figures().fits.load(), 0u);
    EXPECT_NEAR(clocks.half().controller().integral(), offset + 40e-6, 2e-6) << "no fit of its own yet";

    sim::JoinedClocks sure(kPrimary, far, kLate, 1, offset);  // learned: sure to a few ppm
    sure.runUntil(2.0);
    sure.half().shareFit(offset + 500e-6, 10e-6);
    sure.runUntil(3.0);
    EXPECT_EQ(sure.half().figures().sharedFits.load(), 0u);
    EXPECT_NEAR(sure.half().controller().integral(), offset, 5e-6);

    sim::JoinedClocks reversed(runningOff(kPrimary, far.ppm), kFar48, kLate);
    reversed.runUntil(40.0);
    EXPECT_NEAR(FarHalf::reversedOffset(offset), reversed.half().controller().integral(), 5e-6);
    double unpackedOffset = 0.0;
    double unpackedDoubt = 0.0;
    FarHalf::unpackFit(reversed.half().figures().streamFit.load(), unpackedOffset, unpackedDoubt);
    EXPECT_NEAR(unpackedOffset, FarHalf::reversedOffset(offset), 20e-6) << "its last fit, as shared";
    EXPECT_GT(unpackedDoubt, 0.0);
}

// Whatever held one side up (callbacks lost for a while), the halves are back in line within
// seconds, to 0.3 ms (a start from a few chunks' readings was some 0.5 ms off), and the
// hold-up is not learned as an offset between the clocks. A trim lands where the distance is
// when it is made: with 2048-frame periods the readings' mean lagged it by 16 frames, as the
// controller drove the converter at its limit while the distance strayed.
TEST(FarHalf, IsBackInLineSoonAfterAHoldUp) {
    const sim::Device coarse{48000, 2048, 4096};
    const struct {
        const char* name;
        sim::HoldUp holdUp;
        FarHalf::StartCause cause;
        sim::Device primary = kPrimary;
        sim::Device far = kFar48;
        double toleranceFrames = 0.6 * kLooseFrames;
    } cases[] = {
        {"far, 100 ms: late, trimmed", {true, 10.0, 100.0}, FarHalf::StartCause::Late},
        {"far, 20 ms: late, trimmed", {true, 10.0, 20.0}, FarHalf::StartCause::Late},
        {"near, 100 ms: ran dry, primed again", {false, 10.0, 100.0}, FarHalf::StartCause::RanDry},
        {"near, 20 ms: early, silent for what it lacked", {false, 10.0, 20.0}, FarHalf::StartCause::Early},
        // Once fitted: the drift of a first start's first minute would hide the trim's error.
        {"2048 frames, far, 100 ms", {true, 60.0, 100.0}, FarHalf::StartCause::Late, coarse, coarse, kCloseFrames},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::JoinedClocks clocks(c.primary, runningOff(c.far, 100.0), kLate);
        clocks.holdUp(c.holdUp);
        clocks.runUntil(c.holdUp.atSeconds);
        const double integralBefore = clocks.half().controller().integral();
        const double end = c.holdUp.atSeconds + c.holdUp.forMs / 1000.0;
        clocks.runUntil(end + 15.0);
        EXPECT_LE(worstLag(clocks, end + 3.0, end + 15.0), c.toleranceFrames);
        EXPECT_EQ(clocks.half().figures().starts.load(), 2u);
        EXPECT_EQ(clocks.half().figures().startCause.load(), static_cast<std::uint32_t>(c.cause));
        EXPECT_NEAR(clocks.half().controller().integral(), integralBefore, 30e-6);
    }
}

// A callback lost on one side steps the distance by less than the band (10 ms with 480-frame
// periods): once every reading came after it, the halves are lined up again as after a longer
// hold-up, where the proportional part alone took half a minute. Nor is the step learned: it
// would wind the integral up by some hundred ppm, which drives the halves apart the other way.
TEST(FarHalf, LinesUpAgainAfterAStepInsideTheBandWithoutLearningIt) {
    for (const bool far : {true, false}) {
        SCOPED_TRACE(far ? "a far callback lost" : "a near callback lost");
        sim::JoinedClocks clocks(kPrimary, runningOff(kFar48, 100.0), kLate);
        clocks.holdUp({far, 10.0, 5.0});
        clocks.runUntil(10.0);
        const double integralBefore = clocks.half().controller().integral();
        bool held = false;
        for (double t = 10.1; t < 12.0 && !held; t += 0.1) {
            clocks.runUntil(t);
            held = clocks.half().holdingForStep();
        }
        EXPECT_TRUE(held) << "taken for a step, with the integral held";
        clocks.runUntil(30.0);
        EXPECT_GT(worstLag(clocks, 10.0, 11.0), 4 * kLooseFrames) << "the hold-up stepped the distance";
        EXPECT_NEAR(clocks.half().controller().integral(), integralBefore, 5e-6);
        EXPECT_EQ(clocks.half().figures().starts.load(), 2u);
        EXPECT_EQ(clocks.half().figures().startCause.load(),
                  static_cast<std::uint32_t>(far ? FarHalf::StartCause::Late : FarHalf::StartCause::Early));
        EXPECT_LE(worstLag(clocks, 13.0, 30.0), kLooseFrames) << "in line 3 s after it";
        // Lined up by a trim, or by 10 ms of silence: a start read afresh was silent for 0.3 s.
        EXPECT_LE(silentWindows(clocks, 10.0, 13.0), far ? 0 : 2);
    }
}

// Under Wine a render thread stalls for tens of milliseconds every few seconds, and the
// callbacks due meanwhile come in a burst after it: nothing moved, and the halves stay in line,
// neither lined up again nor held for a step. Read as a stream that moved on, each stall
// stepped the due times; its few chunks' readings, tens of ms off, threw the filter out; and
// kept to a step from the others instead of left out, a primary's frequent stalls (each reads
// early) held the halves some frames apart.
TEST(FarHalf, StaysInLineThroughStallsItsThreadsCatchUpFrom) {
    const struct {
        const char* name;
        sim::Device device;
        double stallMs;  // shorter than the FIFO's target, which a stalled primary would run dry
        double chance;
        bool far;  // the far side's thread stalls too
    } cases[] = {
        {"480 frames, both sides", kPrimary, 30.0, 0.003, true},
        {"2048 frames, both sides", {48000, 2048, 4096}, 40.0, 0.003, true},
        {"480 frames, the primary's twice a second", kPrimary, 25.0, 0.02, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Jitter stalling = kLate;
        stalling.stallChance = c.chance;
        stalling.stallMs = c.stallMs;
        sim::JoinedClocks clocks(c.device, runningOff(c.device, 150.0), stalling);
        if (!c.far) clocks.farJitter(kLate);
        double heldSeconds = 0.0;
        for (double t = 20.0; t <= 80.0; t += 0.1) {
            clocks.runUntil(t);
            if (clocks.half().holdingForStep()) heldSeconds += 0.1;
        }
        EXPECT_EQ(clocks.half().figures().starts.load(), 1u);
        EXPECT_LT(heldSeconds, 1.0) << "two stalls in the readings' span can read as a step";
        EXPECT_LE(worstLag(clocks, 20.0, 80.0), 2 * kCloseFrames);
        EXPECT_LE(std::fabs(clocks.meanLagFrames(20.0)), kCloseFrames / 2);
    }
}

// A step held while the far clock moves (a card still settling) is never won back to where it
// was: the distance stops short of it. The hold lets go once it stops coming back, and the
// integral learns again, well before the minute a hold lasts at most. With 86-frame periods a
// lost near callback steps the distance by 1.8 ms: held, but not far enough to line up again.
TEST(FarHalf, LetsGoOfAStepThatStopsComingBack) {
    const sim::Device fine{48000, 86, 172};
    sim::Device farDevice = runningOff(fine, 100.0);
    farDevice.laterSeconds = 12.0;
    farDevice.laterPpm = 250.0;
    sim::JoinedClocks clocks(fine, farDevice, kLate);
    clocks.holdUp({false, 12.0, 1.0});
    clocks.runUntil(13.0);
    ASSERT_TRUE(clocks.half().holdingForStep());
    double releasedAt = 0.0;
    for (double t = 13.5; t <= 60.0 && releasedAt == 0.0; t += 0.5) {
        clocks.runUntil(t);
        if (!clocks.half().holdingForStep()) releasedAt = t;
    }
    EXPECT_GT(releasedAt, 0.0);
    EXPECT_LT(releasedAt, 40.0);
    EXPECT_GT(worstLag(clocks, releasedAt - 1.0, releasedAt), kLooseFrames) << "let go before it was won back";
    clocks.runUntil(80.0);
    EXPECT_EQ(clocks.half().figures().starts.load(), 1u);
    EXPECT_LE(worstLag(clocks, 70.0, 80.0), kCloseFrames);
}

// While it primes, the far half's delay line runs on silence: what it held from before the
// gap plays out in its time, and nothing of it comes after the new start.
TEST(FarHalf, TheDelayLinePlaysOutWhatItHeldWhileUnstarted) {
    HandClocked rig(480, 960);
    FarHalf& half = rig.half;
    std::int64_t& nowNs = rig.nowNs;
    const std::vector<float> ones(480, 1.0f);
    const std::vector<float> twos(480, 2.0f);
    const float* out = nullptr;
    auto round = [&](const std::vector<float>* pushed) {
        if (pushed != nullptr) half.push(pushed->data(), 480, nowNs);
        const bool carried = half.render(480, out);
        nowNs += 10 * kMsNs;
        return carried;
    };
    while (!round(&ones)) {
    }
    for (int i = 0; i < 20; ++i) round(&ones);
    while (round(nullptr)) {
    }
    ASSERT_FALSE(half.started());
    // Once it plays again, everything before the gap has long come out: the line delays the
    // new start, and nothing old with it.
    bool startedAgain = false;
    bool twoSeen = false;
    for (int i = 0; i < 60; ++i) {
        startedAgain = round(&twos) || startedAgain;
        for (int f = 0; f < 480; ++f) {
            if (std::fabs(out[f] - 2.0f) < 0.01f) twoSeen = true;
            if (startedAgain) {
                ASSERT_GT(std::fabs(out[f] - 1.0f), 0.01f)
                    << "what the line held came after the new start, round " << i;
            }
        }
    }
    EXPECT_TRUE(startedAgain);
    EXPECT_TRUE(twoSeen);
}

TEST(ChunkTime, SpreadsOnlyBurstsOfChunks) {
    const struct {
        std::int64_t now, last, lastClock, lastChunk, expected;
    } cases[] = {
        {5000, 0, 0, 0, 5000},                // the first chunk: the clock
        {20000, 10000, 10000, 10000, 20000},  // a chunk a whole chunk later
        {10500, 10000, 10000, 10000, 20000},  // one of a burst: where the previous one ends
        {10600, 20000, 10500, 10000, 30000},  // the next of that burst
        {25000, 10000, 10000, 10000, 25000},  // a late chunk keeps its time
        {11300, 10000, 10000, 10000, 11300},  // more than an eighth apart: a clock running off
        {13100, 40000, 10600, 10000, 13100},  // the first after a burst that ran ahead: the clock
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core::chunkTimeNs(c.now, c.last, c.lastClock, c.lastChunk), c.expected)
            << c.now << " after " << c.last << " read at " << c.lastClock;
    }
}

}  // namespace
