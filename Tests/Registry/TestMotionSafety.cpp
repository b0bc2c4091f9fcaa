// What holds whatever the caller's numbers and threads: numbers that are not finite never move a
// stage, and StopMoving stops a stage while another thread is inside a move or a wait.

#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "RegistryTestSupport.h"

namespace stgtest {
namespace {

using Position = utl::TUnitValue<double>;
using Vec2 = utl::TUnitValue<geo::CdVec2>;
using TickMap = std::map<int, std::int64_t>;

Position Um(double value) { return Position(value, utl::c_mum); }

constexpr double c_nan = std::numeric_limits<double>::quiet_NaN();
constexpr double c_inf = std::numeric_limits<double>::infinity();

// Driver slots entered so far, for a test thread to wait on (bounded).
class CEntered {
public:
    std::function<void(ESlot)> Hook()
    {
        return [this](ESlot slot) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_slots.insert(slot);
            }
            m_changed.notify_all();
        };
    }
    bool WaitFor(ESlot slot)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_slots.count(slot) > 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<ESlot> m_slots;
};

// X on axis 1 and Y on axis 2 (0.5 µm per tick), limits of ±1,000,000 ticks, on a driver that
// lacks `missing`; Z on axis 3 with a calibration that is not a number, as a driver's defaults or
// a settings file may bring it.
std::unique_ptr<CModuleStage> Bring(tTestStageConfig config)
{
    auto stage = std::make_unique<CModuleStage>(config);
    if (!stage->Bring())
        return nullptr;
    for (const auto& props : config.axes)
        stage->Driver().SetAxisLimits(props.axisNo, -1'000'000, 1'000'000);
    stage->Driver().ClearCalls();
    return stage;
}

tTestStageConfig ThreeAxes(const std::vector<ESlot>& missing = {})
{
    std::vector<stg::tAxisProps> axes{XAxis(1), YAxis(2), ZAxis(3)};
    axes[0].calibration = axes[1].calibration = Um(0.5);
    axes[2].calibration = Um(c_nan);
    tTestStageConfig config = FullDriver(axes);
    for (ESlot slot : missing)
        config.implemented.erase(slot);
    return config;
}

TEST(MotionSafety, NumbersThatAreNotFiniteNeverMoveAStage)
{
    auto stage = Bring(ThreeAxes());
    ASSERT_TRUE(stage);
    const std::uint32_t id = stage->id;
    const struct {
        const char* what;
        std::function<int()> call;
    } cases[] = {
        {"NaN target", [&] { return stg::MoveTo(id, 1, Um(c_nan), true); }},
        {"infinite target", [&] { return stg::MoveTo(id, stg::eAxisY, Um(-c_inf), false); }},
        {"target beyond every tick", [&] { return stg::MoveTo(id, 1, Um(1.5e308), true); }}, // 3e308 ticks
        {"NaN in a vector",
         [&] {
             return stg::MoveToXY(id, Vec2({1.0, c_nan}, utl::c_mum), true);
         }},
        {"NaN free run", [&] { return stg::MoveFree(id, 1, c_nan); }},
        {"infinite free run", [&] { return stg::MoveFree(id, stg::eAxisY, c_inf); }},
        {"stored NaN calibration", [&] { return stg::MoveTo(id, 3, Um(1.0), true); }},
        {"infinite limits", [&] { return stg::SetAxisLimits(id, 1, Um(-c_inf), Um(c_inf)); }},
        {"minimum above maximum", [&] { return stg::SetAxisLimits(id, 1, Position(1, utl::c_mm), Um(5)); }},
        {"minima above maxima",
         [&] {
             return stg::SetAxisLimitsXY(id, Vec2({0, 9}, utl::c_mum), Vec2({1, 1}, utl::c_mum));
         }},
        {"minimum above the stored maximum",
         [&] {
             return stg::SetMinima(id, std::map<int, Position>{{1, Position(1, utl::c_m)}});
         }},
        {"infinite maximum",
         [&] {
             return stg::SetMaxima(id, std::map<int, Position>{{1, Um(c_inf)}});
         }},
        {"NaN calibration", [&] { return stg::SetCalibration(id, 1, Um(c_nan)); }},
        {"infinite calibration property", [&] { return stg::SetProperty(id, 1, stg::c_propCalibration, Um(c_inf)); }},
        {"NaN offset", [&] { return stg::SetProperty(id, 1, stg::c_propOffsetPosition, c_nan); }},
        {"NaN angle", [&] { return stg::SetProperty(id, stg::c_propAngleXY, c_nan); }},
        {"NaN speed", [&] { return stg::SetAxisSpeed(id, 1, c_nan); }},
        {"zero speed", [&] { return stg::SetAxisSpeed(id, stg::eAxisX, 0.0); }},
        {"negative speed", [&] { return stg::SetProperty(id, 2, stg::c_propSpeedMax, -1.0); }},
        {"infinite speed in a vector", [&] { return stg::SetSpeedXY(id, geo::CdVec2(1.0, c_inf)); }},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(), stg::c_InvalidValue) << c.what;

    // An angle stored before is refused when a precision move would use it.
    stg::WriteStageProperty(stage->Driver(), stg::c_propAngleXY, c_nan);
    stg::WriteStageProperty(stage->Driver(), stg::c_propNonOrthoEnable, true);
    ASSERT_EQ(stg::EnablePrecision(id, true), stg::c_OK);
    EXPECT_EQ(stg::MoveToXY(id, Vec2({1.0, 2.0}, utl::c_mum), true), stg::c_InvalidValue);
    EXPECT_EQ(stg::MoveTo(id, 1, Um(3.0), false), stg::c_InvalidValue);

    EXPECT_TRUE(stage->Driver().Moves().empty());
    EXPECT_EQ(stage->Driver().CallCount(ESlot::MoveFree), 0);
    Position low, high;
    EXPECT_EQ(stg::GetAxisLimits(id, 1, low, high), stg::c_OK);
    EXPECT_EQ(std::make_pair(low.GetValue(), high.GetValue()), std::make_pair(-500'000.0, 500'000.0));
    double speed = 0;
    EXPECT_EQ(stg::GetAxisSpeed(id, 1, speed), stg::c_OK);
    EXPECT_EQ(speed, XAxis().speed);

    // Finite numbers still move it, and a window moves past its old bounds in one step.
    EXPECT_EQ(stg::SetAxisLimits(id, 2, Position(2, utl::c_m), Position(3, utl::c_m)), stg::c_OK);
    ASSERT_EQ(stg::EnablePrecision(id, false), stg::c_OK);
    EXPECT_EQ(stg::MoveTo(id, 1, Um(100), true), stg::c_OK);
    EXPECT_EQ(stage->Driver().Positions().at(1), 200);
}

// With limits of 0..5 mm in force on X, a driver with a free run and limit runs of its own never
// gets them for X: a free run is a started move to the limit in its direction at the speed asked
// for (or, without the driver's move at a speed, an ordinary started move), a limit run a blocking
// move to the limit. In limit-setting mode the driver's own runs are used.
TEST(MotionSafety, FreeRunsAndLimitRunsEndAtTheLimitsInForce)
{
    for (const bool atSpeed : {true, false}) {
        SCOPED_TRACE(atSpeed ? "move at a speed" : "ordinary started move");
        auto stage = Bring(ThreeAxes(atSpeed ? std::vector<ESlot>{} : std::vector<ESlot>{ESlot::MoveToPosAtSpeed}));
        ASSERT_TRUE(stage);
        const std::uint32_t id = stage->id;
        CTestStage& driver = stage->Driver();
        ASSERT_EQ(stg::SetAxisLimits(id, stg::eAxisX, Um(0.0), Position(5, utl::c_mm)), stg::c_OK); // 0..10 000

        EXPECT_EQ(stg::MoveFree(id, stg::eAxisX, 3.5), stg::c_OK);
        EXPECT_EQ(driver.LastTargets(), (TickMap{{1, 10'000}}));
        EXPECT_EQ(driver.LastSpeeds().size(), atSpeed ? 1U : 0U);
        EXPECT_EQ(driver.LastSpeeds()[1], atSpeed ? 3.5 : 0.0);
        EXPECT_EQ(stg::MoveFreeXY(id, geo::CdVec2(-3.5, 2.0)), stg::c_OK);
        EXPECT_EQ(driver.LastTargets(), (TickMap{{1, 0}, {2, 1'000'000}}));
        EXPECT_EQ(stg::WaitForStop(id, 2, 1000), stg::c_OK); // the driver's started moves end here
        auto* medium = stg::CStageManager::StageManager().GetMediumLevel(id);
        EXPECT_EQ(medium->GotoUpperLimit({1}), stg::c_OK);
        EXPECT_EQ(driver.LastTargets(), (TickMap{{1, 10'000}}));
        EXPECT_EQ(medium->GotoLowerLimit({1, 2}), stg::c_OK);
        EXPECT_EQ(driver.LastTargets(), (TickMap{{1, 0}, {2, -1'000'000}}));
        for (ESlot run : {ESlot::MoveFree, ESlot::GotoUpperLimit, ESlot::GotoLowerLimit})
            EXPECT_EQ(driver.CallCount(run), 0);

        ASSERT_EQ(stg::SetProperty(id, 1, stg::c_propModeSetLimit, true), stg::c_OK);
        EXPECT_EQ(stg::MoveFree(id, 1, -3.5), stg::c_OK);
        EXPECT_EQ(driver.LastSpeeds(), (std::map<int, double>{{1, -3.5}}));
        EXPECT_EQ(medium->GotoUpperLimit({1}), stg::c_OK);
        EXPECT_EQ(driver.CallCount(ESlot::MoveFree), 1);
        EXPECT_EQ(driver.CallCount(ESlot::GotoUpperLimit), 1);
    }
}

// Speeds the axis cannot run at (X: 0.7..70) and calibrations that are not a positive length never
// reach the driver or move a stage, whether set now or stored before.
TEST(MotionSafety, SpeedsAndCalibrationsOutsideWhatTheAxisTakesAreRefused)
{
    tTestStageConfig config = ThreeAxes();
    config.axes[1].calibration = Um(0.0); // stored before, as a settings file may bring it
    config.axes.push_back(XAxis(4));
    config.axes.back().axisType = static_cast<stg::EAxisType>(7); // a rotation, say
    auto stage = Bring(config);
    ASSERT_TRUE(stage);
    const std::uint32_t id = stage->id;
    const Position deg(1.0, utl::c_deg);
    const struct {
        const char* what;
        std::function<int()> call;
    } cases[] = {
        {"free run too fast", [&] { return stg::MoveFree(id, 1, 70.5); }},
        {"free run too slow", [&] { return stg::MoveFree(id, stg::eAxisX, -0.5); }},
        {"free run at speed 0", [&] { return stg::MoveFree(id, 1, 0.0); }},
        {"speed 1e30", [&] { return stg::SetAxisSpeed(id, 1, 1e30); }},
        {"speed below the range", [&] { return stg::SetProperty(id, 1, stg::c_propSpeed, 0.1); }},
        {"calibration 0", [&] { return stg::SetCalibration(id, stg::eAxisX, Um(0.0)); }},
        {"negative calibration", [&] { return stg::SetCalibration(id, 1, Um(-0.5)); }},
        {"calibration in degrees on X", [&] { return stg::SetCalibration(id, 1, deg); }},
        {"calibration property 0", [&] { return stg::SetProperty(id, 1, stg::c_propCalibration, Um(0.0)); }},
        {"stored calibration 0", [&] { return stg::MoveTo(id, stg::eAxisY, Um(5'000.0), true); }},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(), stg::c_InvalidValue) << c.what;
    EXPECT_TRUE(stage->Driver().Moves().empty());
    EXPECT_EQ(stage->Driver().CallCount(ESlot::MoveFree), 0);
    double speed = 0;
    EXPECT_EQ(stg::GetAxisSpeed(id, 1, speed), stg::c_OK);
    EXPECT_EQ(speed, XAxis().speed);

    // Within range they go through; an axis that is not X, Y or Z may take degrees.
    EXPECT_EQ(stg::SetAxisSpeed(id, 1, 70.0), stg::c_OK);
    EXPECT_EQ(stg::SetCalibration(id, 4, deg), stg::c_OK);
    EXPECT_EQ(stg::SetCalibration(id, stg::eAxisY, Um(0.5)), stg::c_OK);
    EXPECT_EQ(stg::MoveTo(id, stg::eAxisY, Um(5.0), true), stg::c_OK);
    EXPECT_EQ(stage->Driver().Positions().at(2), 10);
}

// StopMoving through the flat API from another thread ends a blocking move (in precision mode,
// whose lock the move holds), a wait, a range search, a limit run (in limit-setting mode, where
// the driver's own runs to the end switches), and the worker of an emulated move or free run: the stage
// stays short of the target, the blocking call answers c_Stopped, the emulated move's outcome
// says c_Stopped.
TEST(MotionSafety, StopEndsAMoveThatAnotherThreadIsIn)
{
    const std::vector<ESlot> c_blockingOnly = {ESlot::MoveToPos, ESlot::WaitForStop, ESlot::IsMoving, ESlot::MoveFree,
                                               ESlot::MoveToPosAtSpeed};
    const struct {
        const char* what;
        std::vector<ESlot> missing;
        std::function<int(std::uint32_t)> start; // c_OK, or a blocking call's answer
        ESlot held;                              // the driver slot that the move waits in
        bool blocking;
    } cases[] = {
        {"blocking move in precision mode",
         {},
         [](std::uint32_t id) {
             stg::EnablePrecision(id, true);
             return stg::MoveTo(id, 1, Um(100), true);
         },
         ESlot::SetPosition,
         true},
        {"wait for a started move",
         {},
         [](std::uint32_t id) {
             const int rc = stg::MoveTo(id, 1, Um(100), false);
             return rc == stg::c_OK ? stg::WaitForStop(id, 1, stg::CBaseStageML::c_waitForever) : rc;
         },
         ESlot::WaitForStop,
         true},
        {"range search",
         {},
         [](std::uint32_t id) {
             return stg::CStageManager::StageManager().GetMediumLevel(id)->InitRanges({1, 2});
         },
         ESlot::InitRanges,
         true},
        {"limit run",
         {},
         [](std::uint32_t id) {
             stg::SetProperty(id, 1, stg::c_propModeSetLimit, true);
             return stg::CStageManager::StageManager().GetMediumLevel(id)->GotoUpperLimit({1});
         },
         ESlot::GotoUpperLimit,
         true},
        {"emulated move", c_blockingOnly, [](std::uint32_t id) { return stg::MoveTo(id, 1, Um(100), false); },
         ESlot::SetPosition, false},
        {"emulated free run", c_blockingOnly, [](std::uint32_t id) { return stg::MoveFree(id, 1, 1.0); },
         ESlot::SetPosition, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CEntered entered;
        tTestStageConfig config = ThreeAxes(c.missing);
        config.holdBlockingSlots = true;
        config.onCall = entered.Hook();
        auto stage = Bring(config);
        ASSERT_TRUE(stage);
        const std::uint32_t id = stage->id;

        auto mover = std::async(std::launch::async, c.start, id);
        ASSERT_TRUE(entered.WaitFor(c.held));
        if (!c.blocking) {
            EXPECT_EQ(mover.get(), stg::c_OK);
            EXPECT_EQ(stg::GetLastEmulatedMoveResult(id), stg::c_Busy);
        }
        // A stop that waited for the move would wait for the driver's hold (60 s): give up after
        // 20 s, release the hold, and fail.
        auto stopper = std::async(std::launch::async, [id] { return stg::StopMoving(id); });
        const bool stopped = stopper.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!stopped)
            stage->Driver().ReleaseHeld();
        ASSERT_TRUE(stopped) << "StopMoving waited for the move";
        EXPECT_EQ(stopper.get(), stg::c_OK);
        if (c.blocking) {
            ASSERT_EQ(mover.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            EXPECT_EQ(mover.get(), stg::c_Stopped);
        } else {
            EXPECT_EQ(stg::WaitForStop(id, 1, 20'000), stg::c_OK);
            EXPECT_EQ(stg::GetLastEmulatedMoveResult(id), stg::c_Stopped);
        }
        EXPECT_EQ(stage->Driver().Positions().at(1), 0);
        stage->Driver().ReleaseHeld(); // a stop that failed must not keep the stage held
    }
}

} // namespace
} // namespace stgtest
