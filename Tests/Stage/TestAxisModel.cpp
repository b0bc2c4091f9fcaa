// How axes find, reuse and make their property sets, and the defaults they take from tAxisProps.

#include <gtest/gtest.h>

#include <trellis/AppProps.h>

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

TEST(AxisModel, DefaultsComeFromTheAxisRecord)
{
    stg::tAxisProps x = XAxis(1);
    x.enabled = false;
    x.minimum = -77; // ignored: no fixed lower limit
    x.maximum = 88;  // ignored: no fixed upper limit
    x.lastPosition = -123456789012345;
    x.axisInverted = true;
    x.offsetPosition = 4242;
    auto stage = MakeStage(FullDriver({x, ZAxis(3)}));
    ASSERT_EQ(stage->Init(), stg::c_OK);

    EXPECT_EQ(AxisProp<std::int32_t>(*stage, 1, stg::c_propAxisType), stg::eAxisX);
    EXPECT_FALSE(AxisProp<bool>(*stage, 1, stg::c_propAxisEnabled, true));
    EXPECT_TRUE(AxisProp<bool>(*stage, 1, stg::c_propAxisInverted, false));
    EXPECT_FALSE(AxisProp<bool>(*stage, 1, stg::c_propModeSetLimit, true));
    EXPECT_EQ(AxisProp<std::int64_t>(*stage, 1, stg::c_propLastPosition), -123456789012345);
    EXPECT_EQ(AxisProp<std::int64_t>(*stage, 1, stg::c_propOffsetPosition), 4242);

    mem::CBin calibration;
    ASSERT_EQ(stage->GetPropertyVessel(3, stg::c_propCalibration, calibration), stg::c_OK);
    double nmPerTick = 0;
    utl::CUnit unit;
    EXPECT_TRUE(calibration.Get(nmPerTick) && calibration.GetUnit(unit));
    EXPECT_EQ(utl::TUnitValue<double>(nmPerTick, unit), utl::TUnitValue<double>(20.0, utl::c_nm));

    // The limits exist only where the record says they are fixed.
    mem::CBin limit;
    EXPECT_EQ(stage->GetPropertyVessel(1, stg::c_propMinimum, limit), stg::c_PropertyNotAccessible);
    EXPECT_EQ(stage->GetPropertyVessel(1, stg::c_propMaximum, limit), stg::c_PropertyNotAccessible);

    // "AllowEscape" only for Z, "MirrorLoadPosition" only for X and Y.
    EXPECT_TRUE(AxisProp<bool>(*stage, 3, stg::c_propAllowEscape));
    EXPECT_EQ(stage->GetPropertyVessel(1, stg::c_propAllowEscape, limit), stg::c_PropertyNotAccessible);
    EXPECT_TRUE(AxisProp<bool>(*stage, 1, stg::c_propMirrorLoadPosition));
    EXPECT_EQ(stage->GetPropertyVessel(3, stg::c_propMirrorLoadPosition, limit), stg::c_PropertyNotAccessible);
}

TEST(AxisModel, YMirrorDefaultFollowsTheHostSetting)
{
    for (std::uint16_t host : {0, 1, 0x8000}) {
        appSetPropEx(0xFF00, 0x6100, host);
        auto stage = MakeStage(FullDriver({YAxis(2)}));
        stage->Init();
        EXPECT_EQ(AxisProp<bool>(*stage, 2, stg::c_propMirrorLoadPosition, host == 0), host == 0) << host;
        // Once stored, the host setting no longer matters.
        appSetPropEx(0xFF00, 0x6100, host == 0 ? 1 : 0);
        stage->Init();
        EXPECT_EQ(AxisProp<bool>(*stage, 2, stg::c_propMirrorLoadPosition, host == 0), host == 0) << host;
    }
    appSetPropEx(0xFF00, 0x6100, 0);
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

TEST(AxisModel, ForeignEntriesInTheAxesListAreSkipped)
{
    auto stage = MakeStage(FullDriver({XAxis(0)}));
    // An entry without "AxisNo" and one with an empty value count as axis -1; null entries too.
    auto noNumber = boost::make_shared<utl::CPropSet>();
    noNumber->SetProperty(stg::c_propSpeed, mem::CBin::Of(99.0));
    auto emptyNumber = boost::make_shared<utl::CPropSet>();
    emptyNumber->SetProperty(stg::c_propAxisNo, mem::CBin());
    mem::CBin axes;
    axes.Store(mem::PropSetVector{nullptr, noNumber, emptyNumber});
    stage->GetPropSet()->SetProperty(stg::c_propAxes, axes);

    stage->Init();
    const auto sets = StoredAxes(*stage);
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[1], noNumber);
    EXPECT_DOUBLE_EQ(AxisProp<double>(*stage, 0, stg::c_propSpeed), 7.0);
}

TEST(AxisModel, NegativeAxisNumbersAreRefused)
{
    stg::tAxisProps bad = XAxis(-1);
    auto stage = MakeStage(FullDriver({bad, YAxis(2)}));
    stage->Init();
    EXPECT_EQ(stage->GetAxisList(), std::vector<int>{2});
    EXPECT_EQ(StoredAxes(*stage).size(), 1u);

    stg::CAxis axis(bad, stage->GetPropSet(), true);
    EXPECT_FALSE(axis.HasPropSet());
    EXPECT_FALSE(axis.SetProperty(stg::c_propSpeed, mem::CBin::Of(1.0)));
}

TEST(AxisModel, CopiesShareTheirPropertySet)
{
    auto stageSet = boost::make_shared<utl::CPropSet>();
    stg::CAxis axis(XAxis(4), stageSet, true);
    stg::CAxis copy = axis;
    copy.SetProperty(stg::c_propMinimum, mem::CBin::Of<std::int64_t>(1));
    copy.SetProperty(stg::c_propMaximum, mem::CBin::Of<std::int64_t>(2));
    EXPECT_TRUE(copy.AreLimitsDefined());
    EXPECT_FALSE(axis.AreLimitsDefined()); // the flags are the copy's own
    axis.UndefineLimits();
    mem::CBin value;
    EXPECT_FALSE(copy.GetProperty(stg::c_propMaximum, value)); // but the set is shared
}

} // namespace
} // namespace stgtest
