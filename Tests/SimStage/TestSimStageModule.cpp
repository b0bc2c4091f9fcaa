// The simulated stage loaded the real way, from its module through CreateStage, and moved in
// micrometres under the medium level and the stage access in each capability profile.

#include <map>
#include <string>

#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>
#include <platform/Module.h>

#include "SimStageDefs.h"
#include "StageTestSupport.h"

namespace simtest {
namespace {

using namespace simstage;
using stg::c_OK;
using TickMap = stg::CLowLevelStage::TickMap;

constexpr int c_x = 1, c_y = 2, c_z = 3;
constexpr double c_fastTime = 10'000.0; // 20 s of X travel take 2 ms
const char* const c_profileNames[] = {"Full", "BlockingOnly", "StartedOnly"};

class SimStageProfiles : public ::testing::TestWithParam<ESimProfile> {
protected:
    void TearDown() override
    {
        delete stage;
        cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, m_id);
    }

    // The simulated stage of the test's profile, fast, initialised.
    void Create()
    {
        const auto create =
            reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
        ASSERT_NE(create, nullptr) << plat::LastModuleError();
        stage = create(m_id);
        ASSERT_NE(stage, nullptr);
        stg::WriteStageProperty(*stage, c_propSimProfile, std::int32_t(GetParam()));
        stg::WriteStageProperty(*stage, c_propSimTimeScale, c_fastTime);
        ASSERT_EQ(stage->Init(), c_OK);
    }

    const std::uint32_t m_id = stgtest::UniqueStageID();
    plat::CModule module{PLINTH_SIMSTAGE_MODULE}; // released after the stage, which TearDown deletes
    stg::CLowLevelStage* stage = nullptr;
};

utl::TUnitValue<double> Um(double value) { return utl::TUnitValue<double>(value, utl::c_mum); }

TEST_P(SimStageProfiles, MovesInMicrometresThroughTheWholeStack)
{
    ASSERT_NO_FATAL_FAILURE(Create());
    const ESimProfile profile = GetParam();
    stg::CMediumLevelStage medium(*stage);
    stg::CStageAccess access(medium);
    const auto ticks = [&] {
        TickMap positions;
        EXPECT_EQ(stage->GetPosition(positions, stg::eAllAxes), c_OK);
        return positions;
    };

    ASSERT_EQ(medium.InitRanges({c_x, c_y, c_z}), c_OK);

    // Started, then waited for; a blocking-only controller's move runs on the library's worker.
    EXPECT_EQ(access.MoveToPos({{c_x, Um(12.5)}, {c_y, Um(-30.25)}}), c_OK);
    EXPECT_EQ(medium.HasWorker(), profile == eSimBlockingOnly);
    EXPECT_EQ(access.WaitForStop({c_x, c_y}, 5000), c_OK);
    EXPECT_EQ(ticks(), (TickMap{{c_x, 125}, {c_y, -605}, {c_z, 0}}));

    // Blocking; a started-only controller's move is started and waited for by the library.
    EXPECT_EQ(access.SetPosition({{c_x, Um(-40'000.0)}, {c_z, Um(2'500.0)}}), c_OK);
    EXPECT_EQ(ticks(), (TickMap{{c_x, -400'000}, {c_y, -605}, {c_z, 250'000}}));

    // A free run ends at the end switch, or (emulated) at "Maximum", which is the same place.
    EXPECT_EQ(access.MoveFree({{c_y, 100'000.0}}), c_OK);
    EXPECT_EQ(access.WaitForStop(stg::CStageAccess::Axes{c_y}, 5000), c_OK);
    // A run to the lower end switch, or (emulated) a move towards a far target that the switch stops.
    EXPECT_EQ(medium.GotoLowerLimit({c_z}), c_OK);
    EXPECT_FALSE(access.IsMoving({c_x, c_y, c_z}));
    EXPECT_EQ(ticks(), (TickMap{{c_x, -400'000}, {c_y, 1'000'000}, {c_z, 0}}));
}

// With limits of 0..5 mm in force on X, a free run and a limit run end at the limit in force
// (X's end switches lie at +-50 mm), on every profile; the free run at the speed asked for. In
// limit-setting mode they go on to the end switches.
TEST_P(SimStageProfiles, FreeRunsAndLimitRunsEndAtTheLimitsInForce)
{
    ASSERT_NO_FATAL_FAILURE(Create());
    stg::CMediumLevelStage medium(*stage);
    stg::CStageAccess access(medium);
    const stg::CStageAccess::Axes x{c_x};
    const auto xTicks = [&] {
        TickMap positions{{c_x, 0}};
        EXPECT_EQ(stage->GetPosition(positions, stg::eGivenAxes), c_OK);
        return positions[c_x];
    };
    ASSERT_EQ(access.SetAxisLimits(c_x, Um(0.0), Um(5'000.0)), c_OK); // 0..50 000 ticks

    EXPECT_EQ(access.MoveFree({{c_x, 150'000.0}}), c_OK);
    EXPECT_EQ(access.WaitForStop(x, 5000), c_OK);
    EXPECT_EQ(xTicks(), 50'000);
    EXPECT_EQ(access.MoveFree({{c_x, -150'000.0}}), c_OK);
    EXPECT_EQ(access.WaitForStop(x, 5000), c_OK);
    EXPECT_EQ(xTicks(), 0);
    EXPECT_EQ(medium.GotoUpperLimit(x), c_OK);
    EXPECT_EQ(xTicks(), 50'000);

    ASSERT_EQ(stg::WriteAxisProperty(*stage, c_x, stg::c_propModeSetLimit, true), c_OK);
    EXPECT_EQ(access.MoveFree({{c_x, 150'000.0}}), c_OK);
    EXPECT_EQ(access.WaitForStop(x, 5000), c_OK);
    EXPECT_EQ(xTicks(), 500'000); // the end switch (a blocking-only controller's step goes past it)
    EXPECT_EQ(medium.GotoLowerLimit(x), c_OK);
    EXPECT_EQ(xTicks(), -500'000);
}

// A free run stops when told on every profile; on a blocking-only controller it is the library's
// worker whose blocking move the stop ends. Real time here, so a stop that did not stop shows as
// a run to the end switch (10 s).
TEST_P(SimStageProfiles, FreeRunStopsWhenTold)
{
    ASSERT_NO_FATAL_FAILURE(Create());
    const ESimProfile profile = GetParam();
    stg::CMediumLevelStage medium(*stage);
    stg::CStageAccess access(medium);
    ASSERT_EQ(medium.InitRanges({c_y}), c_OK);
    stg::WriteStageProperty(*stage, c_propSimTimeScale, 1.0);

    ASSERT_EQ(access.MoveFree({{c_y, 100'000.0}}), c_OK);
    EXPECT_EQ(access.StopMoving(), c_OK);
    EXPECT_EQ(access.WaitForStop(stg::CStageAccess::Axes{c_y}, 20'000), c_OK);
    EXPECT_FALSE(access.IsMoving(stg::CStageAccess::Axes{c_y}));
    EXPECT_EQ(medium.GetLastEmulatedMoveResult(), profile == eSimBlockingOnly ? stg::c_Stopped : c_OK);
    TickMap positions{{c_y, 0}};
    EXPECT_EQ(stage->GetPosition(positions, stg::eGivenAxes), c_OK);
    EXPECT_LT(positions[c_y], 100'000); // far short of the end switch at 1,000,000
}

INSTANTIATE_TEST_SUITE_P(Profiles, SimStageProfiles, ::testing::Values(eSimFull, eSimBlockingOnly, eSimStartedOnly),
                         [](const auto& testInfo) { return std::string(c_profileNames[testInfo.param]); });

} // namespace
} // namespace simtest
