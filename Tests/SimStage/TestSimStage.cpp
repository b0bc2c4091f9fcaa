// The simulated stage driver built directly, on a clock that the test moves on: the axes' speeds,
// time-outs, the range search, stopping, and switching off and on again. The end switches and the
// shapes of the moves are the motion model's (TestAxisMotion.cpp); the profiles are tested through
// the whole stack (TestSimStageModule.cpp).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>

#include "CManualSimClock.h"
#include "CSimStage.h"
#include "CSteadySimClock.h"
#include "StageTestSupport.h"

namespace simtest {
namespace {

using namespace simstage;
using stg::c_OK;
using TickMap = stg::CLowLevelStage::TickMap;

constexpr int c_x = 1, c_y = 2, c_z = 3;
constexpr double c_tolS = 1e-9;

class SimStageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(stage->Init(), c_OK); }
    void TearDown() override
    {
        stage.reset();
        cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, m_id);
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

// X runs at its "Speed", Y at no more than its hardware maximum; WaitForStop waits for the
// listed axes only, and only as long as it is told.
TEST_F(SimStageTest, AxesMoveTogetherAtTheirSpeeds)
{
    stg::WriteAxisProperty(*stage, c_y, stg::c_propSpeedMax, 1e9); // the setting allows more than the hardware
    ASSERT_EQ(stage->SetSpeeds({{c_x, 20'000.0}, {c_y, 1e9}}), c_OK);
    ASSERT_EQ(stage->MoveToPos({{c_x, 10'000}, {c_y, -900'000}}), c_OK);
    EXPECT_EQ(stage->WaitForStop({c_x, c_y}, 100), stg::c_Timeout); // 0.1 s on
    EXPECT_EQ(Positions(), (TickMap{{c_x, 200 + 1600}, {c_y, -10'000}, {c_z, 0}}));
    EXPECT_EQ(stage->WaitForStop({c_x}, 1000), c_OK);
    EXPECT_NEAR(clock->NowS(), 0.02 + 9'600 / 20'000.0 + 0.02, c_tolS); // ramps of 200 ticks
    EXPECT_TRUE(stage->IsMoving({c_y}) && !stage->IsMoving({c_x}));
    EXPECT_EQ(stage->WaitForStop({c_y}, stg::CBaseStageML::c_waitForever), c_OK);
    EXPECT_NEAR(clock->NowS(), 0.2 + 820'000 / 400'000.0 + 0.2, c_tolS); // ramps of 40 000 ticks
    EXPECT_EQ(Positions()[c_y], -900'000);

    EXPECT_EQ(stage->SetSpeeds({{c_x, 0.0}}), stg::c_InvalidValue);
    EXPECT_EQ(stage->MoveToPos({{c_y, 0}, {9, 0}}), stg::c_NoSuchAxis);
}

// A free run and a move at a speed of its own run at the speed asked for (up to the hardware's
// top speed), not at "Speed" (50 000 ticks/s for X).
TEST_F(SimStageTest, RunsAtTheSpeedAskedFor)
{
    ASSERT_EQ(stage->MoveFree({{c_x, -20'000.0}, {c_y, 1e9}}), c_OK);
    clock->Advance(1.2); // X ramps up in 0.02 s (200 ticks), Y in 0.2 s (40 000 ticks)
    EXPECT_EQ(Positions(), (TickMap{{c_x, -200 - 23'600}, {c_y, 40'000 + 400'000}, {c_z, 0}}));
    ASSERT_EQ(stage->StopMoving(), c_OK);
    const TickMap stopped = Positions();
    const double startS = clock->NowS();
    ASSERT_EQ(stage->MoveToPosAtSpeed({{c_x, stopped.at(c_x) + 20'000}}, {{c_x, 10'000.0}}), c_OK);
    EXPECT_EQ(stage->WaitForStop({c_x}, stg::CBaseStageML::c_waitForever), c_OK);
    EXPECT_NEAR(clock->NowS() - startS, 0.01 + 19'900 / 10'000.0 + 0.01, 1e-6); // ramps of 50 ticks
    EXPECT_EQ(Positions()[c_x], stopped.at(c_x) + 20'000);
    EXPECT_EQ(stage->MoveToPosAtSpeed({{c_x, 0}}, {{c_y, 10'000.0}}), stg::c_InvalidValue);
}

// The range search runs to both ends, writes them as the limits (with the stage events, in order)
// and returns. StopMoving returns once the axes have ramped down; Exit stops a move at once. A new
// object under the same ID starts where the old one stood, with the limits it found.
TEST_F(SimStageTest, RangeSearchStoppingAndSwitchingOff)
{
    const TickMap start{{c_x, 1234}, {c_y, -5678}, {c_z, 9012}};
    ASSERT_EQ(stage->SetPosition(start), c_OK);
    stgtest::CEventLog log(m_id);
    EXPECT_EQ(stage->InitRanges({c_x, c_y, c_z}), c_OK);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"60@1", "60@2", "60@3", "10@1", "10@1", "10@2", "10@2", "10@3",
                                                       "10@3", "61@1", "61@2", "61@3"}));
    EXPECT_EQ(Positions(), start);

    ASSERT_EQ(stage->MoveToPos({{c_x, 400'000}, {c_z, 500'000}}), c_OK);
    clock->Advance(1.0);
    EXPECT_EQ(stage->StopMoving(), c_OK); // X at 48 750 ticks: returns after the 50 ms ramp
    EXPECT_FALSE(stage->IsMoving({c_x, c_z}));
    EXPECT_EQ(Positions()[c_x], 1234 + 50'000);
    ASSERT_EQ(stage->MoveToPos({{c_z, 500'000}}), c_OK);
    clock->Advance(1.0);
    EXPECT_EQ(stage->Exit(), c_OK);
    clock->Advance(10.0);
    EXPECT_EQ(Positions()[c_z], 9012 + 100'000 + 97'500); // stopped at 100 000, then moved for 1 s

    stage.reset();
    stage = std::make_unique<CSimStage>(m_id, clock);
    ASSERT_EQ(stage->Init(), c_OK);
    EXPECT_EQ(Positions(), (TickMap{{c_x, 1234 + 50'000}, {c_y, -5678}, {c_z, 9012 + 197'500}}));
    EXPECT_TRUE(stage->AreLimitsDefined(nullptr));
    for (const tSimAxisHardware& hardware : c_simAxes) {
        std::int64_t lower = 0, upper = 0;
        EXPECT_EQ(stage->GetAxisLimits(hardware.axisNo, lower, upper), c_OK);
        EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(hardware.lowerEndTicks, hardware.upperEndTicks));
    }
}

// The settings are read again only when the stage set has changed, and then at the very next
// slot: also after a write straight into the set (the configuration database's way), which passes
// no vessel.
TEST_F(SimStageTest, AChangedProfileHoldsFromTheNextCall)
{
    const auto storeProfile = [&](ESimProfile profile) {
        stage->GetPropSet()->SetProperty(c_propSimProfile, mem::CBin::Of<std::int32_t>(profile));
    };
    ASSERT_EQ(stage->MoveToPos({{c_x, 100}}), c_OK);
    storeProfile(eSimBlockingOnly);
    EXPECT_EQ(stage->MoveToPos({{c_x, 200}}), stg::c_NotImplemented);
    stg::WriteStageProperty(*stage, c_propSimProfile, std::int32_t(eSimFull));
    EXPECT_EQ(stage->MoveToPos({{c_x, 300}}), c_OK);
    storeProfile(eSimStartedOnly);
    EXPECT_EQ(stage->SetPosition({{c_x, 0}}), stg::c_NotImplemented);
    EXPECT_EQ(stage->MoveToPos({{c_x, 400}}), c_OK);
}

// The real clock at a scale, which tells when a driver slot first waits on it: the motion it
// waits for has begun.
class CWatchedClock final : public ISimClock {
public:
    double NowS() override { return m_clock.NowS(); }
    void SetTimeScale(double scale) override { m_clock.SetTimeScale(scale); }
    void WaitUntil(double untilS, std::uint32_t timeoutMs) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_waited = true;
        }
        m_changed.notify_all();
        m_clock.WaitUntil(untilS, timeoutMs);
    }
    // Forgets earlier waits, then answers whether one comes within 20 s.
    void Forget()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waited = false;
    }
    bool WaitForAWait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_waited; });
    }

private:
    CSteadySimClock m_clock;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_waited = false;
};

// StopMoving from another thread, without the stage lock that a blocking call holds, reaches a
// blocking move, a range search and a run to an end switch while their axes move (X alone takes
// 4 s each way here): each answers c_Stopped with the axes at rest and no limits written.
TEST(SimStageConcurrentStop, StopEndsABlockingCallOfAnotherThread)
{
    const std::uint32_t id = stgtest::UniqueStageID();
    {
        const auto clock = std::make_shared<CWatchedClock>();
        CSimStage stage(id, clock);
        stg::WriteStageProperty(stage, c_propSimTimeScale, 10.0);
        ASSERT_EQ(stage.Init(), c_OK);
        const std::function<int()> calls[] = {
            [&] {
                return stage.SetPosition({{c_x, 400'000}});
            },
            [&] {
                return stage.InitRanges({c_x, c_y, c_z});
            },
            [&] { return stage.GotoUpperLimit({c_x}); },
        };
        for (const auto& call : calls) {
            clock->Forget();
            auto runner = std::async(std::launch::async, call);
            ASSERT_TRUE(clock->WaitForAWait());
            EXPECT_EQ(stage.StopMoving(), c_OK);
            ASSERT_EQ(runner.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            EXPECT_EQ(runner.get(), stg::c_Stopped);
            EXPECT_FALSE(stage.IsMoving({c_x, c_y, c_z}));
            EXPECT_FALSE(stage.AreLimitsDefined(nullptr));
        }
    }
    cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, id);
}

} // namespace
} // namespace simtest
