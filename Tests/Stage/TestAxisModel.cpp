// When an axis's limits count as defined.

#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using Limits = std::pair<std::int64_t, std::int64_t>;

TEST(AxisModel, FixedLimitSwitchesDecideWhetherLimitsStartDefined)
{
    stg::tAxisProps fixed = XAxis(1);
    fixed.hasFixedLowerLimit = fixed.hasFixedUpperLimit = true;
    fixed.minimum = -500;
    fixed.maximum = 900;
    stg::tAxisProps loose = YAxis(2);
    auto stage = MakeStage(FullDriver({fixed, loose}));
    stage->Init();

    const int one = 1, two = 2;
    EXPECT_TRUE(stage->AreLimitsDefined(&one));
    std::int64_t lower = 0, upper = 0;
    EXPECT_EQ(stage->GetAxisLimits(1, lower, upper), stg::c_OK);
    EXPECT_EQ(std::make_pair(lower, upper), Limits(-500, 900));

    // Limits stored for an axis without fixed limits do not count once it is added again ...
    EXPECT_EQ(stage->SetAxisLimits(2, -10, 10), stg::c_OK);
    stage->Config().pushStoredSettings = false;
    stage->Init();
    EXPECT_EQ(stage->GetAxisLimits(2, lower, upper), stg::c_OK);
    EXPECT_FALSE(stage->AreLimitsDefined(&two));
    // ... until both are written again; one alone is not enough.
    EXPECT_EQ(stage->SetPropertyVessel(2, stg::c_propMinimum, mem::CBin::Of<std::int64_t>(-10)), stg::c_OK);
    EXPECT_FALSE(stage->AreLimitsDefined(&two));
    EXPECT_EQ(stage->SetPropertyVessel(2, stg::c_propMaximum, mem::CBin::Of<std::int64_t>(10)), stg::c_OK);
    EXPECT_TRUE(stage->AreLimitsDefined(&two));

    // The default InitImpl writes the stored limits back through the driver, which defines them.
    stage->Config().pushStoredSettings = true;
    stage->Init();
    EXPECT_TRUE(stage->AreLimitsDefined(&two));
}

} // namespace
} // namespace stgtest
