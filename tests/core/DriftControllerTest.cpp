#include "core/signal/DriftController.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using core::DriftController;

constexpr double kTarget = 2000.0;
constexpr double kStep = 0.01;  // a 10 ms callback

// Fill above the target means the far side consumes too slowly: the factor must go below 1
// (a lower ratio takes more input per output frame), and the other way round.
TEST(DriftController, SteersTowardsTheTargetWithinTheLimit) {
    const struct {
        const char* name;
        double fill;
        double limit;
        double saturated;  // the factor it must end at
    } cases[] = {
        {"far above", 10 * kTarget, 0.001, 1.0 - 0.001},
        {"huge", 1e12, 0.001, 1.0 - 0.001},
        {"empty", 0.0, 0.001, 1.0 + 0.001},
        {"narrower limit, above", 3 * kTarget, 0.0002, 1.0 - 0.0002},
        {"narrower limit, empty", 0.0, 0.0002, 1.0 + 0.0002},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriftController controller(kTarget, c.limit);
        for (int i = 0; i < 100000; ++i) {  // 1000 s: long enough for the integral to saturate
            const double factor = controller.update(c.fill, kStep);
            ASSERT_LE(std::fabs(factor - 1.0), c.limit * (1 + 1e-12)) << "update " << i;
            ASSERT_EQ(factor, controller.factor());
        }
        EXPECT_DOUBLE_EQ(controller.factor(), c.saturated);
        EXPECT_DOUBLE_EQ(std::fabs(controller.integral()), c.limit) << "the integral is held to the limit too";
    }
}

TEST(DriftController, AtTheTargetLeavesTheRatioAlone) {
    DriftController controller(kTarget);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(controller.update(kTarget, kStep), 1.0);
    EXPECT_EQ(controller.integral(), 0.0);
}

TEST(DriftController, SmallErrorsGiveAProportionalAndAnIntegralPart) {
    // 10 % over the target: 0.003 x 0.1 at once, then the integral adds 0.000077 x 0.1 per
    // second it lasts.
    DriftController controller(kTarget);
    EXPECT_DOUBLE_EQ(controller.update(1.1 * kTarget, 0.0), 1.0 - 0.0003);
    EXPECT_DOUBLE_EQ(controller.update(1.1 * kTarget, 0.5), 1.0 - 0.0003 - 0.0000077 * 0.5);
    EXPECT_DOUBLE_EQ(controller.integral(), 0.0000077 * 0.5);
}

TEST(DriftController, ClampsTheTimeStep) {
    const struct {
        const char* name;
        double dt;
        double same;  // the step it must act like
    } cases[] = {{"long gap", 5.0, 0.5},
                 {"very long gap", 1e9, 0.5},
                 {"negative", -1.0, 0.0},
                 {"huge negative", -1e9, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriftController given(kTarget);
        DriftController reference(kTarget);
        given.update(1.5 * kTarget, kStep);
        reference.update(1.5 * kTarget, kStep);
        const double factor = given.update(0.5 * kTarget, c.dt);
        EXPECT_EQ(factor, reference.update(0.5 * kTarget, c.same));
        EXPECT_EQ(given.filteredFrames(), reference.filteredFrames());
        EXPECT_EQ(given.integral(), reference.integral());
        EXPECT_TRUE(std::isfinite(factor));
    }
    // A zero step moves neither the filter nor the integral.
    DriftController controller(kTarget);
    controller.update(1.5 * kTarget, kStep);
    const double filtered = controller.filteredFrames();
    const double integral = controller.integral();
    controller.update(0.0, -3.0);
    EXPECT_EQ(controller.filteredFrames(), filtered);
    EXPECT_EQ(controller.integral(), integral);
}

TEST(DriftController, PrimesOnTheFirstFillThenLowPasses) {
    DriftController controller(kTarget);
    EXPECT_FALSE(controller.primed());
    EXPECT_EQ(controller.factor(), 1.0);

    controller.update(3000.0, 0.2);
    EXPECT_TRUE(controller.primed());
    EXPECT_EQ(controller.filteredFrames(), 3000.0) << "the first fill is taken as it is, not filtered from 0";

    // A step of d seconds moves the filtered fill d / (d + 1) of the way.
    controller.update(1000.0, 0.5);
    const double afterHalfSecond = 3000.0 - 2000.0 / 3.0;
    EXPECT_DOUBLE_EQ(controller.filteredFrames(), afterHalfSecond);
    controller.update(1000.0, 0.25);
    EXPECT_DOUBLE_EQ(controller.filteredFrames(), afterHalfSecond - 0.2 * (afterHalfSecond - 1000.0));
}

TEST(DriftController, ResetPrimesAgainButKeepsTheIntegral) {
    DriftController controller(kTarget);
    for (int i = 0; i < 2000; ++i) controller.update(1.2 * kTarget, kStep);
    const double integral = controller.integral();
    ASSERT_GT(integral, 0.0);

    controller.reset();
    EXPECT_FALSE(controller.primed());
    EXPECT_EQ(controller.filteredFrames(), 0.0);
    EXPECT_EQ(controller.integral(), integral);

    // Primed again on the new fill, at the target: only the kept integral steers.
    EXPECT_DOUBLE_EQ(controller.update(kTarget, 0.0), 1.0 - integral);
    EXPECT_EQ(controller.filteredFrames(), kTarget);
}

TEST(DriftController, KeepsTheTargetAtLeastOneFrame) {
    for (const double target : {0.0, -50.0, 0.25}) {
        DriftController controller(target);
        EXPECT_EQ(controller.targetFrames(), 1.0) << "target " << target;
        const double factor = controller.update(0.0, kStep);
        EXPECT_TRUE(std::isfinite(factor)) << "target " << target;
        EXPECT_DOUBLE_EQ(factor, 1.001) << "an empty FIFO is 100 % short of one frame: saturated";
    }
    EXPECT_EQ(DriftController().targetFrames(), 1.0);
    EXPECT_EQ(DriftController().limit(), 0.001);
}

}  // namespace
