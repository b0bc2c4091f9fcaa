// The medium level: emulated moves on the worker thread, free runs and limit runs, movement
// validation and the position cache.

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using stg::CBaseStageML;
using ::testing::ElementsAre;
using TickMap = CBaseStageML::TickMap;

// Holds a driver call until the test opens it. Waits are bounded so a fault cannot hang the run.
struct tGate {
    std::promise<void> entered, open;
    std::shared_future<void> opened = open.get_future().share();
    void Enter()
    {
        entered.set_value();
        opened.wait_for(std::chrono::seconds(20));
    }
    bool WaitEntered() { return entered.get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready; }
    void Open() { open.set_value(); }
};

// X (1), Y (2) and Z (3), all with limits -1000..1000, on a driver that lacks `missing`.
struct tRig {
    explicit tRig(std::initializer_list<ESlot> missing, std::function<void(ESlot)> onCall = {})
    {
        tTestStageConfig config = FullDriver({XAxis(1), YAxis(2), ZAxis(3)});
        for (ESlot slot : missing)
            config.implemented.erase(slot);
        config.onCall = std::move(onCall);
        stage = MakeStage(config);
        stage->Init();
        for (int axis : {1, 2, 3})
            stage->SetAxisLimits(axis, -1000, 1000);
        medium = std::make_unique<stg::CMediumLevelStage>(*stage);
        stage->ClearCalls();
    }
    TestStagePtr stage;
    std::unique_ptr<stg::CMediumLevelStage> medium;
};

constexpr std::initializer_list<ESlot> c_blockingOnly = {
    ESlot::MoveToPos,      ESlot::WaitForStop,    ESlot::IsMoving,        ESlot::MoveFree,
    ESlot::GotoUpperLimit, ESlot::GotoLowerLimit, ESlot::MoveToPosAtSpeed};

TEST(AsyncMove, SecondMoveIsBusyWhileTheWorkerRuns)
{
    // A driver call runs under the stage lock, so the worker started from inside it cannot begin
    // its blocking move until the call returns: the state "worker still running" can be looked at.
    tRig rig(c_blockingOnly);
    std::vector<int> seen;
    bool moving = false;
    rig.stage->Config().onCall = [&](ESlot slot) {
        if (slot != ESlot::CheckConnection || !seen.empty())
            return;
        seen.push_back(rig.medium->MoveToPos({{1, 300}}));
        seen.push_back(rig.medium->MoveToPos({{1, 400}}));
        seen.push_back(rig.medium->WaitForStop({1}, 0));
        moving = rig.medium->IsMoving({1});
        seen.push_back(rig.medium->GotoUpperLimit({1}));
    };
    rig.stage->CheckConnection();

    EXPECT_THAT(seen, ElementsAre(stg::c_OK, stg::c_Busy, stg::c_Timeout, stg::c_Busy));
    EXPECT_TRUE(moving);
    EXPECT_EQ(rig.medium->WaitForStop({1}, CBaseStageML::c_waitForever), stg::c_OK);
    EXPECT_EQ(rig.stage->Positions().at(1), 300);
    EXPECT_EQ(rig.stage->CallCount(ESlot::SetPosition), 1);
}

// A subscriber of the events of an emulated move runs on the worker's thread once the move let go
// of the stage lock; a move it starts there goes to another thread, so it may wait for it.
TEST(AsyncMove, ASubscriberOnTheWorkerMayStartAndAwaitTheNextMove)
{
    tRig rig(c_blockingOnly);
    std::atomic<bool> armed{true};
    rig.stage->Config().onCall = [&](ESlot slot) {
        if (slot == ESlot::SetPosition && armed.exchange(false))
            rig.stage->SetAxisLimits(2, -900, 900); // an event, delivered after the move
    };
    std::promise<std::vector<int>> heard;
    std::atomic<bool> first{true};
    const auto token = utl::SubscribeEvent(stg::GetStageEventID(), [&](const boost::any& message) {
        // Only the limit event fired inside the move; move events come from the move watcher.
        if (boost::any_cast<const stg::tSTAGEMSG&>(message).msgID >= stg::c_msgMoveStarted || !first.exchange(false))
            return;
        std::vector<int> seen{rig.medium->MoveToPos({{1, 200}})};
        seen.push_back(rig.medium->WaitForStop({1}, 20'000)); // c_Timeout if it waited for itself
        seen.push_back(rig.medium->GetLastEmulatedMoveResult());
        heard.set_value(seen);
    });
    ASSERT_EQ(rig.medium->MoveToPos({{1, 100}}), stg::c_OK);
    auto answer = heard.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(40)), std::future_status::ready);
    utl::UnsubscribeEvent(token);
    EXPECT_THAT(answer.get(), ElementsAre(stg::c_OK, stg::c_OK, stg::c_OK));
    EXPECT_EQ(rig.stage->Positions().at(1), 200);
}

// The worker's driver answer is kept, also when the driver throws. A move accepted while the
// caller holds the stage lock (here a driver hook, as a subscriber of a stage event would) is
// checked again when the worker gets the lock: narrowed limits, a disabled axis or a stop in
// between end it before it reaches the driver.
TEST(AsyncMove, TheWorkersOutcomeIsKeptAndTheWorkerChecksAgain)
{
    tRig rig(c_blockingOnly);
    const auto moveAndWait = [&](const TickMap& targets) {
        EXPECT_EQ(rig.medium->MoveToPos(targets), stg::c_OK);
        EXPECT_EQ(rig.medium->WaitForStop({1}, CBaseStageML::c_waitForever), stg::c_OK);
        return rig.medium->GetLastEmulatedMoveResult();
    };
    EXPECT_EQ(rig.medium->GetLastEmulatedMoveResult(), stg::c_OK);
    rig.stage->Config().faults[ESlot::SetPosition] = {stg::c_NoSuchAxis};
    EXPECT_EQ(moveAndWait({{1, 10}}), stg::c_NoSuchAxis);
    rig.stage->Config().faults[ESlot::SetPosition] = {stg::c_GeneralFailure, true};
    EXPECT_EQ(moveAndWait({{1, 20}}), stg::c_GeneralFailure);
    rig.stage->Config().faults.clear();
    EXPECT_EQ(moveAndWait({{1, 30}}), stg::c_OK);

    const std::function<void()> meanwhile[] = {
        [&] { rig.stage->SetAxisLimits(1, -100, 100); },
        [&] { rig.stage->SetPropertyVessel(1, stg::c_propAxisEnabled, mem::CBin::Of(false)); },
        [&] { rig.medium->StopMoving(); },
    };
    const int expected[] = {stg::c_TargetOutOfRange, stg::c_AxisDisabled, stg::c_Stopped};
    int i = 0;
    // Set once: the worker calls the driver (and so the hook) while this thread goes on.
    rig.stage->Config().onCall = [&](ESlot slot) {
        if (slot != ESlot::CheckConnection)
            return;
        EXPECT_EQ(rig.medium->MoveToPos({{1, 500}}), stg::c_OK);
        meanwhile[i]();
    };
    for (; i < 3; ++i) {
        rig.stage->SetAxisLimits(1, -1000, 1000);
        rig.stage->SetPropertyVessel(1, stg::c_propAxisEnabled, mem::CBin::Of(true));
        rig.stage->CheckConnection();
        // The worker is waited for whatever enabled axes are named (axis 1 may be disabled now).
        EXPECT_EQ(rig.medium->WaitForStop({2}, CBaseStageML::c_waitForever), stg::c_OK);
        EXPECT_EQ(rig.medium->GetLastEmulatedMoveResult(), expected[i]);
    }
    EXPECT_EQ(rig.stage->Positions().at(1), 30);
    EXPECT_EQ(rig.stage->CallCount(ESlot::SetPosition), 3);
}

TEST(EmulatedRuns, FreeRunsHeadForTheLimitsOrAStepInLimitSettingMode)
{
    tRig rig(c_blockingOnly);
    EXPECT_EQ(rig.medium->MoveFree({{1, 2.5}, {2, -1.0}}), stg::c_OK);
    EXPECT_EQ(rig.medium->WaitForStop({1, 2}, 5000), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{1, 1000}, {2, -1000}}));

    // In limit-setting mode the run is a step from the position, whatever limits are being set.
    rig.stage->SetPositions({{1, 40}, {3, 5000}});
    for (int axis : {1, 3}) {
        rig.stage->SetPropertyVessel(axis, stg::c_propModeSetLimit, mem::CBin::Of(true));
        rig.stage->SetAxisLimits(axis, -1, 1);
    }
    EXPECT_EQ(rig.medium->MoveFree({{1, 1.0}, {3, -1.0}}), stg::c_OK);
    EXPECT_EQ(rig.medium->WaitForStop({1, 3}, 5000), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{1, 40 + 20'000'000}, {3, 5000 - 1'000'000}}));

    // A step past the end of the tick range stops at its end.
    rig.stage->SetPositions({{1, INT64_MAX - 5}});
    EXPECT_EQ(rig.medium->MoveFree({{1, 1.0}}), stg::c_OK);
    EXPECT_EQ(rig.medium->WaitForStop({1}, 5000), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{1, INT64_MAX}}));
}

TEST(EmulatedRuns, LimitRunsAreBlockingMovesToFarTargets)
{
    // Far targets where no limits are in force (limit-setting mode); the limit itself where they are.
    tRig rig(c_blockingOnly);
    for (int axis : {1, 2})
        rig.stage->SetPropertyVessel(axis, stg::c_propModeSetLimit, mem::CBin::Of(true));
    EXPECT_EQ(rig.medium->GotoUpperLimit({1, 3}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{1, 1'073'741'823}, {3, 1000}}));
    EXPECT_EQ(rig.medium->GotoLowerLimit({2, 3}), stg::c_OK);
    EXPECT_EQ(rig.stage->LastTargets(), (TickMap{{2, -4'611'686'018'427'387'904}, {3, -1000}}));
    EXPECT_FALSE(rig.medium->HasWorker());

    // A free run is emulated only when the driver's caps ask for it.
    tTestStageConfig config = FullDriver({XAxis(1)});
    config.implemented.erase(ESlot::MoveFree);
    config.caps.emulateFreeMove = false;
    auto stage = MakeStage(config);
    stage->Init();
    stage->SetAxisLimits(1, -1, 1);
    EXPECT_EQ(stg::CMediumLevelStage(*stage).MoveFree({{1, 1.0}}), stg::c_NotImplemented);
    EXPECT_EQ(stage->CallCount(ESlot::MoveToPos), 0);
}

TEST(Validation, FirstFailingAxisDecides)
{
    tRig rig({});
    rig.stage->SetPropertyVessel(1, stg::c_propAxisEnabled, mem::CBin::Of(false));
    rig.stage->UndefineLimits({2});
    struct tCase {
        TickMap targets;
        int expected;
    } cases[] = {
        {{{1, 0}, {2, 0}}, stg::c_AxisDisabled},
        {{{2, 0}, {3, 0}}, stg::c_LimitsNotDefined},
        {{{3, 1000}}, stg::c_OK},
        {{{3, 1001}}, stg::c_TargetOutOfRange},
        {{{3, -1000}}, stg::c_OK},
        {{{3, -1001}}, stg::c_TargetOutOfRange},
        {{{3, 0}, {9, 0}}, stg::c_NoSuchAxis},
    };
    for (const auto& c : cases) {
        rig.stage->ClearCalls();
        EXPECT_EQ(rig.medium->MoveToPos(c.targets), c.expected);
        EXPECT_EQ(rig.medium->SetPosition(c.targets), c.expected);
        EXPECT_EQ(rig.stage->CallCount(ESlot::MoveToPos) + rig.stage->CallCount(ESlot::SetPosition),
                  c.expected == stg::c_OK ? 2 : 0);
    }
    EXPECT_FALSE(rig.medium->IsMoving({1}));
    EXPECT_EQ(rig.medium->WaitForStop({1}, 0), stg::c_AxisDisabled);
    EXPECT_EQ(rig.medium->MoveFree({{2, 1.0}}), stg::c_LimitsNotDefined);

    // In limit-setting mode an axis without limits moves anywhere.
    rig.stage->SetPropertyVessel(2, stg::c_propModeSetLimit, mem::CBin::Of(true));
    EXPECT_EQ(rig.medium->MoveToPos({{2, 123456789}}), stg::c_OK);
}

// One thread narrows and widens the limits and disables and enables the axis while another
// moves it, natively and on the worker of an emulated move: every target that reaches the driver
// lies within the limits in force at that moment, on an enabled axis.
TEST(Validation, TheTargetCheckedIsTheTargetTheDriverGets)
{
    // Both threads pause for a varying number of spins outside the stage lock between their calls
    // (not to synchronise: to vary where in a move a change comes).
    const auto pause = [](std::minstd_rand& random, unsigned mostSpins) {
        for (volatile unsigned spin = random() % mostSpins; spin > 0; --spin) {
        }
    };
    constexpr unsigned c_changerSpins = 1000, c_moverSpins = 1000;
    for (const bool emulated : {false, true}) {
        SCOPED_TRACE(emulated);
        CTestStage* driver = nullptr;
        struct tInForce {
            std::int64_t lower, upper;
            bool enabled;
        };
        std::vector<tInForce> inForce; // one per driver move, taken under the stage lock
        tRig rig(emulated ? c_blockingOnly : std::initializer_list<ESlot>{}, [&](ESlot slot) {
            if (slot == ESlot::SetPosition || (slot == ESlot::MoveToPos && !emulated)) {
                inForce.push_back({AxisProp<std::int64_t>(*driver, 1, stg::c_propMinimum),
                                   AxisProp<std::int64_t>(*driver, 1, stg::c_propMaximum),
                                   AxisProp<bool>(*driver, 1, stg::c_propAxisEnabled)});
            }
        });
        driver = rig.stage.get();
        std::atomic<bool> done{false};
        std::atomic<int> changes{0};
        auto changer = std::async(std::launch::async, [&] {
            std::minstd_rand random(1);
            for (int step = 0; !done; ++step) {
                switch (step % 4) {
                case 0:
                    rig.stage->SetAxisLimits(1, -10, 10);
                    break;
                case 1:
                    rig.stage->SetAxisLimits(1, -1000, 1000);
                    break;
                case 2:
                    rig.stage->SetPropertyVessel(1, stg::c_propAxisEnabled, mem::CBin::Of(false));
                    break;
                default:
                    rig.stage->SetPropertyVessel(1, stg::c_propAxisEnabled, mem::CBin::Of(true));
                    break;
                }
                ++changes;
                pause(random, c_changerSpins);
            }
        });
        std::minstd_rand random(7);
        for (int i = 0; i < 1000; ++i) {
            // Each move meets changes: wait (bounded) until the changer has made one since the last.
            const int seen = changes;
            for (int spins = 0; changes == seen && spins < 1'000'000; ++spins)
                std::this_thread::yield();
            pause(random, c_moverSpins);
            if (i % 2 == 0 && rig.medium->MoveToPos({{1, 500}}) == stg::c_OK)
                rig.medium->WaitForStop({2}, CBaseStageML::c_waitForever);
            if (i % 2 == 1)
                rig.medium->SetPosition({{1, 500}});
        }
        done = true;
        changer.get();

        const auto moves = rig.stage->Moves();
        ASSERT_EQ(moves.size(), inForce.size());
        EXPECT_GE(moves.size(), 10u); // the check let moves through, not only refusals
        int outside = 0;
        for (std::size_t i = 0; i < moves.size(); ++i) {
            const std::int64_t target = moves[i].at(1);
            outside += !inForce[i].enabled || target < inForce[i].lower || target > inForce[i].upper;
        }
        EXPECT_EQ(outside, 0) << "of " << moves.size() << " moves";
    }
}

TEST(PositionCache, DriverIsAskedOnlyWhenSomethingMayHaveMoved)
{
    tRig rig({});
    rig.stage->EnableUserControl(false);
    rig.stage->SetPositions({{1, 11}, {2, 22}, {3, 33}});
    const auto read = [&](TickMap positions, stg::ESelection selection = stg::eGivenAxes) {
        rig.stage->ClearCalls();
        EXPECT_EQ(rig.medium->GetPosition(positions, selection), stg::c_OK);
        return std::make_pair(positions, rig.stage->CallCount(ESlot::GetPosition));
    };

    EXPECT_EQ(read({}, stg::eAllAxes), std::make_pair(TickMap{{1, 11}, {2, 22}, {3, 33}}, 1));
    rig.stage->SetPositions({{1, 99}}); // moved behind the library's back: the cache answers
    EXPECT_EQ(read({{1, 0}}), std::make_pair(TickMap{{1, 11}}, 0));

    // A move the driver refused still marks the axis.
    rig.stage->Config().faults[ESlot::MoveToPos] = {stg::c_GeneralFailure};
    EXPECT_EQ(rig.medium->MoveToPos({{1, 5}}), stg::c_GeneralFailure);
    EXPECT_EQ(read({{1, 0}}), std::make_pair(TickMap{{1, 99}}, 1));
    // A move refused by validation does not.
    EXPECT_EQ(rig.medium->MoveToPos({{1, 5000}}), stg::c_TargetOutOfRange);
    EXPECT_EQ(read({{1, 0}}).second, 0);

    for (auto run : {&CBaseStageML::GotoLowerLimit, &CBaseStageML::InitRanges}) {
        (rig.medium.get()->*run)({2});
        EXPECT_EQ(read({{2, 0}}).second, 1);
        EXPECT_EQ(read({{2, 0}}).second, 0);
    }

    // Positions read while moving are not cached.
    rig.stage->Config().faults.clear();
    EXPECT_EQ(rig.medium->MoveToPos({{3, 70}}), stg::c_OK); // pending in the driver until waited for
    EXPECT_EQ(read({{3, 0}}).second, 1);
    EXPECT_EQ(rig.medium->WaitForStop({3}, 1000), stg::c_OK);
    EXPECT_EQ(read({{3, 0}}), std::make_pair(TickMap{{3, 70}}, 1));

    // With user control the axes may be moved by hand: always ask.
    rig.stage->EnableUserControl(true);
    EXPECT_EQ(read({{3, 0}}).second, 1);
    EXPECT_EQ(read({{3, 0}}).second, 1);
}

TEST(Lifetime, ThreadsMayShareOneMediumLevel)
{
    tRig rig(c_blockingOnly);
    const auto client = [&](int axis) {
        int accepted = 0;
        for (int i = 0; i < 100; ++i) {
            const int rc = rig.medium->MoveToPos({{axis, i}});
            EXPECT_TRUE(rc == stg::c_OK || rc == stg::c_Busy) << rc;
            accepted += rc == stg::c_OK;
            TickMap positions;
            EXPECT_EQ(rig.medium->GetPosition(positions, stg::eAllAxes), stg::c_OK);
            const int waited = rig.medium->WaitForStop({axis}, 1000);
            EXPECT_TRUE(waited == stg::c_OK || waited == stg::c_NotImplemented) << waited;
        }
        return accepted;
    };
    auto first = std::async(std::launch::async, client, 1);
    auto second = std::async(std::launch::async, client, 2);
    EXPECT_GT(first.get() + second.get(), 0);
    rig.medium->WaitForStop({1, 2}, CBaseStageML::c_waitForever);
}

TEST(Lifetime, MediumLevelMayGoWhileItsWorkerMoves)
{
    tGate gate;
    tRig rig(c_blockingOnly, [&](ESlot slot) {
        if (slot == ESlot::SetPosition)
            gate.Enter();
    });
    EXPECT_EQ(rig.medium->MoveToPos({{2, 640}}), stg::c_OK);
    ASSERT_TRUE(gate.WaitEntered());
    rig.medium.reset(); // the stage is being unregistered during the move

    // Exit waits for the worker's move: the position it stores is the move's target.
    auto opener = std::async(std::launch::async, [&] { gate.Open(); });
    EXPECT_EQ(rig.stage->Exit(), stg::c_OK);
    opener.get();
    EXPECT_EQ(AxisProp<std::int64_t>(*rig.stage, 2, stg::c_propLastPosition), 640);
    rig.stage.reset();
}

} // namespace
} // namespace stgtest
