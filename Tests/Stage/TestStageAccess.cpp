// Stage access: tick/unit conversions, precision mode, limits in physical units and axis types.

#include <cmath>
#include <future>
#include <limits>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using stg::CStageAccess;
using ::testing::ElementsAre;
using Position = CStageAccess::Position;
using TickMap = CStageAccess::TickMap;

// Opens the protected conversions to the tests.
class CProbeAccess : public CStageAccess {
public:
    using CStageAccess::CStageAccess;
    using CStageAccess::CvtPos2TicPos;
    using CStageAccess::CvtTicPos2Pos;
};

// X on axis 0 (1 µm per tick), Y on axis 2 (0.5 µm), Z on axis 3 (20 nm); limits ±1,000,000 ticks.
struct tAccessRig {
    tAccessRig()
    {
        stg::tAxisProps x = XAxis(0);
        x.calibration = Position(1.0, utl::c_mum);
        stg::tAxisProps y = YAxis(2);
        stg::tAxisProps z = ZAxis(3);
        stage = MakeStage(FullDriver({x, y, z}));
        stage->Init();
        for (int axis : {0, 2, 3})
            stage->SetAxisLimits(axis, -1'000'000, 1'000'000);
        medium = std::make_unique<stg::CMediumLevelStage>(*stage);
        access = std::make_unique<CProbeAccess>(*medium);
    }
    void Calibrate(int axis, double value, utl::CUnit unit, std::int64_t offset, bool inverted)
    {
        stg::WriteAxisProperty(*stage, axis, stg::c_propCalibration, Position(value, unit));
        stg::WriteAxisProperty(*stage, axis, stg::c_propOffsetPosition, offset);
        stg::WriteAxisProperty(*stage, axis, stg::c_propAxisInverted, inverted);
    }
    TestStagePtr stage;
    std::unique_ptr<stg::CMediumLevelStage> medium;
    std::unique_ptr<CProbeAccess> access;
};

TEST(TickConversion, PhysicalToTicksAndBack)
{
    struct tCase {
        double calibration;
        utl::CUnit calUnit;
        std::int64_t offset;
        bool inverted;
        Position position;
        std::int64_t ticks; // position converted to ticks
        double back;        // ticks converted back, in the calibration's unit
    } cases[] = {
        {0.1, utl::c_mum, 1000, true, {12.345, utl::c_mum}, 877, 12.3},
        {0.5, utl::c_mum, 0, false, {1.0, utl::c_mm}, 2000, 1000.0},
        {1.0, utl::c_mum, 0, false, {5.7, utl::c_mum}, 5, 5.0},
        {1.0, utl::c_mum, 0, false, {-0.9, utl::c_mum}, 0, 0.0},
        {1.0, utl::c_mum, 0, false, {-123.9, utl::c_mum}, -123, -123.0},
        {2.0, utl::c_nm, -7, false, {0.1, utl::c_mum}, 57, 100.0},
        {1.0, utl::c_mum, 0, true, {1e300, utl::c_mum}, -std::numeric_limits<std::int64_t>::max(), 0.0},
        {1.0, utl::c_mum, 0, false, {std::nan(""), utl::c_mum}, 0, 0.0},
    };
    tAccessRig rig;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position.GetValue());
        rig.Calibrate(0, c.calibration, c.calUnit, c.offset, c.inverted);
        const std::int64_t ticks = rig.access->CvtPos2TicPos(0, c.position);
        EXPECT_EQ(ticks, c.ticks);
        if (std::isnan(c.calibration) || std::abs(c.position.GetValue()) > 1e200)
            continue;
        const Position back = rig.access->CvtTicPos2Pos(0, ticks);
        EXPECT_DOUBLE_EQ(back.GetValue(), c.back);
        EXPECT_EQ(back.GetUnit(), c.calUnit);
    }
}

TEST(TickConversion, IncompatibleUnitsLeaveTheLocksReleased)
{
    tAccessRig rig;
    EXPECT_THROW(rig.access->CvtPos2TicPos(0, Position(1.0, utl::c_deg)), utl::CIncompatibleUnitsError);
    // The exception leaves every lock released: another thread can still use the stage.
    EXPECT_THROW(rig.access->MoveToPos({{0, Position(1.0, utl::c_deg)}}), utl::CIncompatibleUnitsError);
    rig.access->EnablePrecision(true);
    EXPECT_THROW(rig.access->SetPosition({{0, Position(1.0, utl::c_deg)}}), utl::CIncompatibleUnitsError);
    auto other = std::async(std::launch::async, [&] { return rig.access->SetPosition({{0, {4.0, utl::c_mum}}}); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(other.get(), stg::c_OK);
}

TEST(StageAccess, MovesAndReadsInPhysicalUnits)
{
    tAccessRig rig;
    EXPECT_EQ(rig.access->SetPosition({{0, {1.0, utl::c_mm}}, {2, {-10.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(rig.stage->Positions(), (TickMap{{0, 1000}, {2, -20}, {3, 0}}));

    CStageAccess::PosMap positions{{0, {}}};
    EXPECT_EQ(rig.access->GetPosition(positions, stg::eGivenAxes), stg::c_OK);
    EXPECT_EQ(positions, (CStageAccess::PosMap{{0, Position(1000.0, utl::c_mum)}}));

    // A failing read leaves keys and values alone.
    rig.stage->Config().faults[ESlot::GetPosition] = {stg::c_GeneralFailure};
    rig.stage->EnableUserControl(true);
    positions = {{2, {42.0, utl::c_m}}};
    EXPECT_EQ(rig.access->GetPosition(positions, stg::eGivenAxes), stg::c_GeneralFailure);
    EXPECT_EQ(positions.at(2), Position(42.0, utl::c_m));
    rig.stage->Config().faults.clear();

    // Free runs: the sign turns on inverted axes, which run to the other limit.
    stg::WriteAxisProperty(*rig.stage, 2, stg::c_propAxisInverted, true);
    EXPECT_EQ(rig.access->MoveFree({{0, 2.5}, {2, 2.5}}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{0, 1'000'000}, {2, -1'000'000}}));
}

TEST(StageAccess, LimitsSwapOnInvertedAxes)
{
    tAccessRig rig;
    rig.Calibrate(0, 1.0, utl::c_mum, 0, true);
    rig.stage->SetAxisLimits(0, -1000, 5000);
    Position lower, upper;
    EXPECT_EQ(rig.access->GetAxisLimits(0, lower, upper), stg::c_OK);
    EXPECT_EQ(std::make_pair(lower, upper),
              std::make_pair(Position(-5000.0, utl::c_mum), Position(1000.0, utl::c_mum)));
    rig.stage->UndefineLimits({0, 2});
    EXPECT_EQ(rig.access->SetAxisLimits(stg::eAxisX, lower, upper), stg::c_OK);
    EXPECT_EQ(AxisProp<std::int64_t>(*rig.stage, 0, stg::c_propMinimum), -1000);
    EXPECT_EQ(AxisProp<std::int64_t>(*rig.stage, 0, stg::c_propMaximum), 5000);

    // Maxima need defined limits; a refused read leaves the map alone.
    CStageAccess::PosMap maxima{{0, {7.0, utl::c_m}}, {2, {8.0, utl::c_m}}};
    const auto before = maxima;
    EXPECT_EQ(rig.access->GetMaxima(maxima, stg::eGivenAxes), stg::c_LimitsNotDefined);
    EXPECT_EQ(maxima, before);

    // Maxima and minima write the properties directly, swapped on the inverted axis.
    EXPECT_EQ(rig.access->SetMaxima(CStageAccess::PosMap{{0, {10.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(AxisProp<std::int64_t>(*rig.stage, 0, stg::c_propMinimum), -10);
    EXPECT_EQ(rig.access->SetMinima(CStageAccess::TypePosMap{{stg::eAxisY, {-1.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(AxisProp<std::int64_t>(*rig.stage, 2, stg::c_propMinimum), -2);
    maxima = {{0, {}}};
    EXPECT_EQ(rig.access->GetMaxima(maxima, stg::eGivenAxes), stg::c_OK);
    EXPECT_EQ(maxima.at(0), Position(10.0, utl::c_mum));

    // An unreadable direction flag is an error for the axis limits only.
    rig.stage->Config().faults[ESlot::GetAxisProperty] = {stg::c_PropertyNotAccessible, false, 3};
    rig.stage->ClearCalls();
    EXPECT_EQ(rig.access->GetAxisLimits(0, lower, upper), stg::c_PropertyNotAccessible);
}

// Precision mode

struct tPrecisionRig : tAccessRig {
    tPrecisionRig()
    {
        access->EnablePrecision(true);
        stage->EnableUserControl(true); // every read reaches the driver
    }
    void Set(int propID, bool value) { stg::WriteStageProperty(*stage, propID, value); }
    TickMap Read()
    {
        CStageAccess::PosMap positions{{0, {}}, {2, {}}};
        EXPECT_EQ(access->GetPosition(positions, stg::eGivenAxes), stg::c_OK);
        return {{0, CvtBack(0, positions.at(0))}, {2, CvtBack(2, positions.at(2))}};
    }
    std::int64_t CvtBack(int axis, const Position& position) { return access->CvtPos2TicPos(axis, position); }
};

TEST(Precision, SoftwareBacklashApproachesFromOneSide)
{
    tPrecisionRig rig;
    rig.Set(stg::c_propBacklashEnable, true);
    rig.Set(stg::c_propUseHWBacklash, false);
    stg::WriteAxisProperty<std::int64_t>(*rig.stage, 0, stg::c_propOffsetSWBL, 50);
    rig.stage->SetPositions({{0, 1000}});

    struct tStep {
        double targetUm;
        std::int64_t sent;
        std::int64_t read;
    } steps[] = {{500, 450, 500}, {500, 450, 500}, {800, 800, 800}, {800, 800, 800}, {-3, -53, -3}};
    for (const auto& step : steps) {
        EXPECT_EQ(rig.access->MoveToPos({{0, {step.targetUm, utl::c_mum}}}), stg::c_OK);
        EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{0, step.sent}})) << step.targetUm;
        rig.medium->WaitForStop({0}, 1000);
        EXPECT_EQ(rig.Read().at(0), step.read) << step.targetUm;
    }

    // The blocking move passes every reported axis down, the others where they stand.
    EXPECT_EQ(rig.access->SetPosition({{0, {-10.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{0, -60}, {2, 0}, {3, 0}}));

    // Without precision mode the offsets are neither applied nor recorded.
    rig.access->EnablePrecision(false);
    EXPECT_EQ(rig.access->MoveToPos({{0, {20.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{0, 20}}));
    rig.access->EnablePrecision(true);
    rig.medium->WaitForStop({0}, 1000);
    EXPECT_EQ(rig.Read().at(0), 70); // the direction recorded before still counts

    // Hardware backlash, when switched on or unreadable, switches the software one off.
    for (bool unreadable : {false, true}) {
        if (unreadable)
            rig.stage->GetPropSet()->DelProperty(stg::c_propUseHWBacklash);
        else
            rig.Set(stg::c_propUseHWBacklash, true);
        rig.stage->SetPositions({{0, 1000}});
        EXPECT_EQ(rig.access->MoveToPos({{0, {500.0, utl::c_mum}}}), stg::c_OK);
        EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{0, 500}})) << unreadable;
        rig.medium->WaitForStop({0}, 1000);
    }
}

// At 90 degrees (an unreadable angle) targets are divided by a cosine of about 6e-17: far off the
// tick range, clamped rather than undefined.
TEST(Precision, NonOrthogonalityCorrectionClampsAtNinetyDegrees)
{
    tPrecisionRig rig;
    rig.Set(stg::c_propNonOrthoEnable, true);
    rig.stage->SetPositions({{0, 0}, {2, 0}});
    rig.stage->UndefineLimits({2});
    stg::WriteAxisProperty(*rig.stage, 2, stg::c_propModeSetLimit, true);
    EXPECT_EQ(rig.access->MoveToPos({{2, {1000.0, utl::c_mum}}}), stg::c_TargetOutOfRange);
    stg::WriteAxisProperty(*rig.stage, 0, stg::c_propModeSetLimit, true);
    EXPECT_EQ(rig.access->MoveToPos({{2, {1000.0, utl::c_mum}}}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets().at(2), std::numeric_limits<std::int64_t>::max());
}

} // namespace
} // namespace stgtest
