#include "core/ring/RingSizing.h"

#include <gtest/gtest.h>

namespace core {
namespace {

static_assert(ringSizing(480).targetFrames == 1216 && ringSizing(480).capacityFrames == 8192);

TEST(CardRingSizing, TargetAndCapacityFollowThePeriod) {
    struct Case {
        std::uint32_t periodFrames, targetFrames, capacityFrames;
    };
    const Case cases[] = {
        {480, 1216, 8192},    {4459, 9174, 65536},  {1, 960, 8192},
        {0, 960, 8192},       {352, 960, 8192},     {353, 962, 8192},
        {896, 2048, 8192},    {897, 2050, 16384},   {1920, 4096, 16384},
        {1921, 4098, 32768},  {3968, 8192, 32768},  {3969, 8194, 65536},
        {8063, 16382, 65536}, {8064, 16384, 65536}, {0xffffffffu, 16384, 65536},
    };
    for (const Case& c : cases) {
        const RingSizing sizing = ringSizing(c.periodFrames);
        EXPECT_EQ(sizing.targetFrames, c.targetFrames) << "period " << c.periodFrames;
        EXPECT_EQ(sizing.capacityFrames, c.capacityFrames) << "period " << c.periodFrames;
    }
}

}  // namespace
}  // namespace core
