// The simulated stage loaded the real way, from its module through CreateStage: range search with
// its stage events, the position kept across a restart, and each capability profile under the
// medium level and the stage access, moving in micrometres.

#include <map>
#include <memory>
#include <string>
#include <vector>

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

// Deletes a stage and takes its property set out of the configuration database.
struct tUnplug {
    void operator()(stg::CLowLevelStage* stage) const
    {
        const std::uint32_t stageID = stage->GetStageID();
        delete stage;
        cfg::UnPlugGlobalPropSet(3, stageID);
    }
};
using StagePtr = std::unique_ptr<stg::CLowLevelStage, tUnplug>;

class SimStageModule : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(create, nullptr) << plat::LastModuleError(); }

    // A stage of the module, initialised, with fast time and the given profile.
    stg::CLowLevelStage* Create(std::uint32_t stageID, std::int32_t profile = eSimFull)
    {
        stg::CLowLevelStage* stage = create(stageID);
        if (stage) {
            stg::WriteStageProperty(*stage, c_propSimProfile, profile);
            stg::WriteStageProperty(*stage, c_propSimTimeScale, c_fastTime);
            EXPECT_EQ(stage->Init(), c_OK);
        }
        return stage;
    }

    plat::CModule module{PLINTH_SIMSTAGE_MODULE}; // declared first: released after every stage
    stg::CreateStageFn create =
        reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
};

TEST_F(SimStageModule, InitRangesWritesTheEndsAsLimitsAndTheEventsFire)
{
    StagePtr stage(Create(stgtest::UniqueStageID()));
    ASSERT_TRUE(stage);
    EXPECT_EQ(stage->GetAxisList(), (std::vector<int>{c_x, c_y, c_z}));
    const TickMap start{{c_x, 1234}, {c_y, -5678}, {c_z, 9012}};
    ASSERT_EQ(stage->SetPosition(start), c_OK);
    stgtest::CEventLog log(stage->GetStageID());

    EXPECT_EQ(stage->InitRanges({c_x, c_y, c_z}), c_OK);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"60@1", "60@2", "60@3", "10@1", "10@1", "10@2", "10@2", "10@3",
                                                       "10@3", "61@1", "61@2", "61@3"}));
    for (const tSimAxisHardware& hardware : c_simAxes) {
        std::int64_t lower = 0, upper = 0;
        EXPECT_EQ(stage->GetAxisLimits(hardware.axisNo, lower, upper), c_OK);
        EXPECT_EQ(lower, hardware.lowerEndTicks);
        EXPECT_EQ(upper, hardware.upperEndTicks);
    }
    TickMap positions;
    EXPECT_EQ(stage->GetPosition(positions, stg::eAllAxes), c_OK);
    EXPECT_EQ(positions, start); // back where the search began
    EXPECT_EQ(stage->InitRanges({c_x, 9}), stg::c_NoSuchAxis);
}

TEST_F(SimStageModule, PositionAndRangesAreKeptAcrossARestart)
{
    const std::uint32_t stageID = stgtest::UniqueStageID(); // one ID for both objects, on purpose
    const TickMap where{{c_x, 12'345}, {c_y, -23'456}, {c_z, 345'678}};
    {
        std::unique_ptr<stg::CLowLevelStage> first(Create(stageID));
        ASSERT_TRUE(first);
        ASSERT_EQ(first->InitRanges({c_x, c_y, c_z}), c_OK);
        ASSERT_EQ(first->SetPosition(where), c_OK);
        ASSERT_EQ(first->Exit(), c_OK);
    } // deleted; its settings stay in the configuration database
    StagePtr second(Create(stageID));
    ASSERT_TRUE(second);
    TickMap positions;
    EXPECT_EQ(second->GetPosition(positions, stg::eAllAxes), c_OK);
    EXPECT_EQ(positions, where);
    EXPECT_TRUE(second->AreLimitsDefined(nullptr)); // the ranges found before still hold
}

class SimStageProfiles : public SimStageModule, public ::testing::WithParamInterface<ESimProfile> {};

utl::TUnitValue<double> Um(double value) { return utl::TUnitValue<double>(value, utl::c_mum); }

TEST_P(SimStageProfiles, MovesInMicrometresThroughTheWholeStack)
{
    const ESimProfile profile = GetParam();
    StagePtr stage(Create(stgtest::UniqueStageID(), profile));
    ASSERT_TRUE(stage);
    stg::CMediumLevelStage medium(*stage);
    stg::CStageAccess access(medium);
    const auto expectAt = [&](const std::map<int, double>& expectedUm) {
        stg::CStageAccess::PosMap positions;
        for (const auto& entry : expectedUm)
            positions[entry.first] = Um(0.0);
        ASSERT_EQ(access.GetPosition(positions, stg::eGivenAxes), c_OK);
        for (const auto& [axis, um] : expectedUm)
            EXPECT_NEAR(positions[axis].In(utl::c_mum).GetValue(), um, 1e-9) << "axis " << axis;
    };

    EXPECT_EQ(access.MoveToPos({{c_x, Um(12.5)}}), stg::c_LimitsNotDefined);
    ASSERT_EQ(medium.InitRanges({c_x, c_y, c_z}), c_OK);

    // Started, then waited for; a blocking-only controller's move runs on the library's worker.
    EXPECT_EQ(access.MoveToPos({{c_x, Um(12.5)}, {c_y, Um(-30.25)}}), c_OK);
    EXPECT_EQ(medium.HasWorker(), profile == eSimBlockingOnly);
    EXPECT_EQ(access.WaitForStop({c_x, c_y}, 5000), c_OK);
    expectAt({{c_x, 12.5}, {c_y, -30.25}, {c_z, 0.0}});

    // Blocking; a started-only controller's move is started and waited for by the library.
    EXPECT_EQ(access.SetPosition({{c_x, Um(-40'000.0)}, {c_z, Um(2'500.0)}}), c_OK);
    expectAt({{c_x, -40'000.0}, {c_z, 2'500.0}});
    TickMap ticks;
    EXPECT_EQ(stage->GetPosition(ticks, stg::eAllAxes), c_OK);
    EXPECT_EQ(ticks, (TickMap{{c_x, -400'000}, {c_y, -605}, {c_z, 250'000}}));

    // A free run ends at the end switch, or (emulated) at "Maximum", which is the same place.
    EXPECT_EQ(access.MoveFree({{c_y, 1.0}}), c_OK);
    EXPECT_EQ(access.WaitForStop(stg::CStageAccess::Axes{c_y}, 5000), c_OK);
    // A run to the lower end switch, or (emulated) a move towards a far target that the switch stops.
    EXPECT_EQ(medium.GotoLowerLimit({c_z}), c_OK);
    expectAt({{c_x, -40'000.0}, {c_y, 50'000.0}, {c_z, 0.0}});
    EXPECT_FALSE(access.IsMoving({c_x, c_y, c_z}));
}

std::string ProfileName(const ::testing::TestParamInfo<ESimProfile>& info)
{
    const char* names[] = {"Full", "BlockingOnly", "StartedOnly"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Profiles, SimStageProfiles, ::testing::Values(eSimFull, eSimBlockingOnly, eSimStartedOnly),
                         ProfileName);

} // namespace
} // namespace simtest
