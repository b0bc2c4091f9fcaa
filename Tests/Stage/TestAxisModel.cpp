// How axes find and reuse their property sets, and when their limits count as defined.

#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using Limits = std::pair<std::int64_t, std::int64_t>;

using stg::CLowLevelStage;

mem::PropSetVector StoredAxes(const CLowLevelStage& stage)
{
    mem::PropSetVector sets;
    mem::CBin axes;
    if (stage.GetPropSet()->GetProperty(stg::c_propAxes, axes))
        axes.Restore(sets);
    return sets;
}

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

TEST(AxisModel, StoredSettingsAreReusedOrDroppedByFresh)
{
    tTestStageConfig config = FullDriver({XAxis(1), YAxis(2)});
    auto stage = MakeStage(config);
    stage->Init();
    ASSERT_EQ(StoredAxes(*stage).size(), 2u);
    stage->SetPropertyVessel(2, stg::c_propSpeed, mem::CBin::Of(5.5));
    stage->SetPropertyVessel(2, stg::c_propModeSetLimit, mem::CBin::Of(true));
    const auto oldSet = StoredAxes(*stage).back();

    // fresh false: the same set, the stored speed kept, limit-setting mode switched off.
    stage->Init();
    EXPECT_DOUBLE_EQ(AxisProp<double>(*stage, 2, stg::c_propSpeed), 5.5);
    EXPECT_FALSE(AxisProp<bool>(*stage, 2, stg::c_propModeSetLimit, true));
    EXPECT_EQ(StoredAxes(*stage), (mem::PropSetVector{StoredAxes(*stage).front(), oldSet}));

    // fresh true: a new set from the record; the old one is gone from "Axes".
    stage->Config().freshAxes = true;
    stage->Init();
    EXPECT_DOUBLE_EQ(AxisProp<double>(*stage, 2, stg::c_propSpeed), 5.0);
    EXPECT_EQ(StoredAxes(*stage).size(), 2u);
    EXPECT_NE(StoredAxes(*stage).back(), oldSet);
}

} // namespace
} // namespace stgtest
