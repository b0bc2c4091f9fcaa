// The flat API by axis map, single axis and X/Y/Z vector, through a stage of the driver module.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>

#include "RegistryTestSupport.h"

namespace stgtest {
namespace {

using Position = utl::TUnitValue<double>;
using TickMap = stg::CLowLevelStage::TickMap;
using Vec2 = utl::TUnitValue<geo::CdVec2>;
using Vec3 = utl::TUnitValue<geo::CdVec3>;

Position Um(double value) { return Position(value, utl::c_mum); }

// X on axis 1 (0.5 µm per tick), Y on axis 2 (0.25 µm), Z on axis 3 (10 nm), all with limits of
// ±10 mm.
class AxisFunctions : public ::testing::Test {
protected:
    void Bring()
    {
        std::vector<stg::tAxisProps> axes{XAxis(1), YAxis(2), ZAxis(3)};
        axes[0].calibration = Um(0.5);
        axes[1].calibration = Um(0.25);
        axes[2].calibration = Position(10.0, utl::c_nm);
        stage = std::make_unique<CModuleStage>(FullDriver(axes));
        ASSERT_TRUE(stage->Bring());
        id = stage->id;
        for (const auto& props : axes)
            ASSERT_EQ(stg::SetAxisLimits(id, props.axisNo, Position(-10, utl::c_mm), Position(10, utl::c_mm)),
                      stg::c_OK);
    }
    TickMap Ticks() const { return stage->Driver().Positions(); }

    std::unique_ptr<CModuleStage> stage;
    std::uint32_t id = 0;
};

TEST_F(AxisFunctions, MovesByMapSingleAxisAndVector)
{
    Bring();
    EXPECT_EQ(stg::MoveTo(id, std::map<int, Position>{{1, Um(100)}}, true), stg::c_OK);
    EXPECT_EQ(Ticks().at(1), 200);
    EXPECT_EQ(stg::MoveTo(id, stg::eAxisY, Position(1, utl::c_mm), true), stg::c_OK);
    EXPECT_EQ(Ticks().at(2), 4000);
    EXPECT_EQ(stg::SetPosition(id, std::map<stg::EAxisType, Position>{{stg::eAxisZ, Um(2)}}), stg::c_OK);
    EXPECT_EQ(Ticks().at(3), 200);

    // Started moves stay pending in the driver until waited for.
    EXPECT_EQ(stg::MoveTo(id, 1, Um(-50), false), stg::c_OK);
    EXPECT_TRUE(stg::IsMoving(id, std::vector<stg::EAxisType>{stg::eAxisX}));
    EXPECT_EQ(stg::WaitForStopXY(id, 0), stg::c_Timeout); // the time-out goes down unchanged
    EXPECT_EQ(stg::WaitForStop(id, stg::eAxisX, 1000), stg::c_OK);
    EXPECT_EQ(Ticks().at(1), -100);

    EXPECT_EQ(stg::MoveToXY(id, Vec2({10, 20}, utl::c_mum), true), stg::c_OK);
    EXPECT_EQ(Ticks(), (TickMap{{1, 20}, {2, 80}, {3, 200}}));
    EXPECT_EQ(stg::MoveToXYZ(id, Vec3({0.01, 0.02, -0.03}, utl::c_mm), false), stg::c_OK);
    EXPECT_EQ(stg::WaitForStopXYZ(id, 1000), stg::c_OK);
    EXPECT_EQ(Ticks(), (TickMap{{1, 20}, {2, 80}, {3, -3000}}));

    // Reads come back in each axis's calibration unit, vectors in the X entry's unit.
    Position single(7, utl::c_m);
    EXPECT_EQ(stg::GetPosition(id, 3, single), stg::c_OK);
    EXPECT_EQ(single, Position(-30000, utl::c_nm));
    Vec3 vec;
    EXPECT_EQ(stg::GetPositionXYZ(id, vec), stg::c_OK);
    EXPECT_EQ(vec.GetUnit(), utl::c_mum);
    EXPECT_EQ(vec.GetValue(), geo::CdVec3(10, 20, -30));
}

TEST_F(AxisFunctions, LimitsAreWrittenMinimumFirstAndReadOnlyWhole)
{
    Bring();
    Position minimum, maximum;
    // The minimum goes first and stays when the maximum is refused.
    stage->Driver().Config().faults[ESlot::SetAxisProperty] = {stg::c_GeneralFailure, false, 2};
    stage->Driver().ClearCalls();
    EXPECT_EQ(stg::SetAxisLimits(id, 2, Um(-5), Um(5)), stg::c_GeneralFailure);
    stage->Driver().Config().faults.clear();
    EXPECT_EQ(stg::GetAxisLimits(id, 2, minimum, maximum), stg::c_OK);
    EXPECT_EQ(std::make_pair(minimum, maximum), std::make_pair(Um(-5), Um(10000)));

    // A pair is written only when both were read.
    const Position keepMin(1, utl::c_m), keepMax(2, utl::c_m);
    stg::UndefineLimits(id, 1);
    EXPECT_FALSE(stg::AreLimitsDefined(id, 1));
    minimum = keepMin;
    maximum = keepMax;
    EXPECT_EQ(stg::GetAxisLimits(id, 1, minimum, maximum), stg::c_LimitsNotDefined);
    EXPECT_EQ(std::make_pair(minimum, maximum), std::make_pair(keepMin, keepMax));

    Vec2 minXY, maxXY;
    EXPECT_EQ(stg::SetAxisLimitsXY(id, Vec2({-3, -4}, utl::c_mm), Vec2({3, 4}, utl::c_mm)), stg::c_OK);
    EXPECT_EQ(stg::GetAxisLimitsXY(id, minXY, maxXY), stg::c_OK);
    EXPECT_EQ(minXY.GetValue(), geo::CdVec2(-3000, -4000));
    EXPECT_EQ(maxXY.GetUnit(), utl::c_mum);
}

} // namespace
} // namespace stgtest
