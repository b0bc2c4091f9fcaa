// The simulated stage driver built directly, on a clock that the test moves on: the profiles'
// slots, the time moves take, the end switches, stopping and switching off.

#include <memory>

#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>

#include "CManualSimClock.h"
#include "CSimStage.h"
#include "StageTestSupport.h"

namespace simtest {
namespace {

using namespace simstage;
using stg::c_NotImplemented;
using stg::c_OK;
using TickMap = stg::CLowLevelStage::TickMap;

constexpr int c_x = 1, c_y = 2, c_z = 3;
constexpr std::uint32_t c_forever = stg::CBaseStageML::c_waitForever;
constexpr double c_tolS = 1e-9;

class SimStageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(stage->Init(), c_OK); }
    void TearDown() override
    {
        stage.reset();
        cfg::UnPlugGlobalPropSet(3, m_id);
    }
    TickMap Positions()
    {
        TickMap positions;
        EXPECT_EQ(stage->GetPosition(positions, stg::eAllAxes), c_OK);
        return positions;
    }

    std::uint32_t m_id = stgtest::UniqueStageID();
    std::shared_ptr<CManualSimClock> clock = std::make_shared<CManualSimClock>();
    std::unique_ptr<CSimStage> stage = std::make_unique<CSimStage>(m_id, clock);
};

TEST_F(SimStageTest, ProfileDecidesWhichMovementsTheDriverOffers)
{
    struct tCase {
        std::int32_t profile;
        bool started;  // MoveToPos, WaitForStop, MoveFree
        bool blocking; // SetPosition, GotoLowerLimit, GotoUpperLimit
    };
    const tCase cases[] = {
        {eSimFull, true, true}, {eSimBlockingOnly, false, true}, {eSimStartedOnly, true, false}, {7, true, true}};
    for (const tCase& c : cases) {
        SCOPED_TRACE(c.profile);
        stg::WriteStageProperty(*stage, c_propSimProfile, c.profile); // takes effect at once
        const auto expected = [](bool offered) { return offered ? c_OK : c_NotImplemented; };
        EXPECT_EQ(stage->MoveToPos({{c_x, 1000}}), expected(c.started));
        EXPECT_EQ(stage->WaitForStop({c_x}, 60'000), expected(c.started));
        EXPECT_EQ(stage->MoveFree({{c_y, -1.0}}), expected(c.started));
        EXPECT_EQ(stage->StopMoving(), c_OK);
        EXPECT_EQ(stage->SetPosition({{c_z, 5000}}), expected(c.blocking));
        EXPECT_EQ(stage->GotoLowerLimit({c_z}), expected(c.blocking));
        EXPECT_EQ(stage->GotoUpperLimit({c_x}), expected(c.blocking));
        EXPECT_EQ(stage->InitRanges({c_z}), c_OK);
        EXPECT_FALSE(stage->IsMoving({c_x, c_y, c_z}));
    }
}

TEST_F(SimStageTest, MoveTakesTheTimeOfItsProfileAtTheAxisSpeed)
{
    struct tCase {
        double speedTicksPerS; // "Speed" of X
        std::int64_t from, to, end;
        double durationS;
    };
    const tCase cases[] = {
        {50'000.0, 0, 10'000, 10'000, 0.05 + 0.15 + 0.05},   // ramps of 1250 ticks at 10^6 ticks/s^2
        {25'000.0, 10'000, 0, 0, 0.025 + 0.375 + 0.025},     // ramps of 312.5 ticks
        {1e9, -500'000, 500'000, 500'000, 0.2 + 4.8 + 0.2},  // at most 200 000 ticks/s
        {50'000.0, 400'000, 600'000, 500'000, 0.05 + 1.975}, // the end switch stops it, no ramp down
    };
    for (const tCase& c : cases) {
        SCOPED_TRACE(c.to);
        ASSERT_EQ(stage->SetSpeeds({{c_x, c.speedTicksPerS}}), c_OK);
        ASSERT_EQ(stage->SetPosition({{c_x, c.from}}), c_OK);
        const double startS = clock->NowS();
        ASSERT_EQ(stage->MoveToPos({{c_x, c.to}}), c_OK);
        EXPECT_EQ(stage->WaitForStop({c_x}, c_forever), c_OK);
        EXPECT_NEAR(clock->NowS() - startS, c.durationS, c_tolS);
        EXPECT_EQ(Positions()[c_x], c.end);
    }
    ASSERT_EQ(stage->SetSpeeds({{c_x, 0.0}}), c_OK);
    EXPECT_EQ(stage->MoveToPos({{c_x, 0}}), stg::c_GeneralFailure);
    EXPECT_EQ(stage->MoveToPos({{c_y, 0}, {9, 0}}), stg::c_NoSuchAxis);
}

TEST_F(SimStageTest, AxesMoveTogetherAndWaitForStopTimesOut)
{
    ASSERT_EQ(stage->MoveToPos({{c_x, 10'000}, {c_y, -10'000}}), c_OK); // X takes 0.25 s, Y 0.15 s
    EXPECT_EQ(stage->WaitForStop({c_x, c_y}, 100), stg::c_Timeout);
    EXPECT_NEAR(clock->NowS(), 0.1, c_tolS);
    EXPECT_EQ(Positions(), (TickMap{{c_x, 3750}, {c_y, -7500}, {c_z, 0}}));
    EXPECT_EQ(stage->WaitForStop({c_y}, 1000), c_OK);
    EXPECT_NEAR(clock->NowS(), 0.15, c_tolS);
    EXPECT_FALSE(stage->IsMoving({c_y}));
    EXPECT_TRUE(stage->IsMoving({c_x}));
    // Time-outs are real time: at 10 simulated seconds per second, 5 ms are 0.05 s.
    stg::WriteStageProperty(*stage, c_propSimTimeScale, 10.0);
    EXPECT_EQ(stage->WaitForStop({c_x}, 5), stg::c_Timeout);
    EXPECT_NEAR(clock->NowS(), 0.2, c_tolS);
}

TEST_F(SimStageTest, EndSwitchesStopFreeRunsAndLimitRuns)
{
    ASSERT_EQ(stage->MoveFree({{c_x, -3.0}, {c_y, 0.0}, {c_z, 0.5}}), c_OK); // only the sign counts
    EXPECT_EQ(stage->WaitForStop({c_x, c_y, c_z}, c_forever), c_OK);
    EXPECT_NEAR(clock->NowS(), 0.05 + 498'750.0 / 50'000.0, c_tolS); // X; Z takes as long
    EXPECT_EQ(Positions(), (TickMap{{c_x, -500'000}, {c_y, 0}, {c_z, 1'000'000}}));
    EXPECT_EQ(stage->GotoUpperLimit({c_y}), c_OK);
    EXPECT_EQ(Positions()[c_y], 1'000'000);
    EXPECT_EQ(stage->GotoLowerLimit({c_y, c_z}), c_OK);
    EXPECT_EQ(Positions(), (TickMap{{c_x, -500'000}, {c_y, -1'000'000}, {c_z, 0}}));
}

TEST_F(SimStageTest, StopRampsDownAndExitCutsAMoveOff)
{
    ASSERT_EQ(stage->MoveToPos({{c_x, 400'000}, {c_z, 500'000}}), c_OK);
    EXPECT_EQ(stage->WaitForStop({c_x}, 1000), stg::c_Timeout);
    EXPECT_EQ(Positions()[c_x], 48'750);
    EXPECT_EQ(stage->StopMoving(), c_OK); // returns at rest, after the 50 ms ramp
    EXPECT_NEAR(clock->NowS(), 1.05, c_tolS);
    EXPECT_FALSE(stage->IsMoving({c_x, c_z}));
    EXPECT_EQ(Positions()[c_x], 50'000);

    ASSERT_EQ(stage->MoveToPos({{c_z, 500'000}}), c_OK);
    clock->Advance(1.0);
    EXPECT_EQ(stage->Exit(), c_OK);
    clock->Advance(10.0);
    EXPECT_EQ(stgtest::AxisProp<std::int64_t>(*stage, c_z, stg::c_propLastPosition), Positions()[c_z]);
    EXPECT_EQ(Positions()[c_z], 100'000 + 97'500); // stopped at 100 000, then moved for a second
}

} // namespace
} // namespace simtest
