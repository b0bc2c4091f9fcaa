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

// StopMoving through the flat API from another thread ends a blocking move (in precision mode,
// whose lock the move holds), a wait, and the worker of an emulated move or free run: the stage
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
