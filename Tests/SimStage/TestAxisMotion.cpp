// The motion model of one simulated axis, on its own: times are handed in, no clock runs.

#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "CAxisMotion.h"

namespace simtest {
namespace {

using simstage::CAxisMotion;

// Ends at -1000 and 10000 ticks, 1000 ticks/s^2: at 100 ticks/s a ramp takes 0.1 s and 5 ticks.
constexpr std::int64_t c_lowerEnd = -1000, c_upperEnd = 10000;
constexpr double c_accel = 1000.0, c_speed = 100.0, c_tolS = 1e-9;

CAxisMotion Axis() { return CAxisMotion(c_lowerEnd, c_upperEnd, c_accel); }

TEST(AxisMotion, MoveTakesTheTimeOfItsTrapezoidOrTriangle)
{
    struct tCase {
        std::int64_t from, to;
        double durationS, topSpeed;
    };
    const tCase cases[] = {
        {0, 1000, 0.1 + 9.9 + 0.1, c_speed},                            // trapezoid
        {0, 10, 0.2, c_speed},                                          // triangle just reaching the speed
        {0, 4, 2.0 * std::sqrt(4.0 / c_accel), std::sqrt(c_accel * 4)}, // triangle
    };
    constexpr double startS = 2.0; // the plan is relative to the time of the command
    for (const tCase& c : cases) {
        SCOPED_TRACE(c.to);
        CAxisMotion axis = Axis();
        axis.PlaceAt(c.from);
        axis.MoveTo(startS, c.to, c_speed);
        const double midS = startS + c.durationS / 2.0;
        EXPECT_NEAR(axis.RestTimeS(), startS + c.durationS, c_tolS);
        // The profile is symmetric: half the time, half the way, at the top speed.
        EXPECT_EQ(axis.PositionAt(midS), (c.from + c.to) / 2);
        EXPECT_NEAR(std::abs(axis.SpeedAt(midS)), c.topSpeed, 1e-6);
        EXPECT_EQ(axis.PositionAt(startS + 100.0), c.to);
    }
}

// A new target behind a moving axis, or too close ahead to stop in time, is reached after the axis
// has ramped down to rest. (Stop and Halt are checked through the driver.)
TEST(AxisMotion, NewTargetDuringAMoveRampsDownFirst)
{
    CAxisMotion axis = Axis();
    axis.MoveTo(0.0, 1000, c_speed);
    axis.MoveTo(2.0, 0, c_speed / 2); // cruising at 195: rest at 200, then back at half the speed
    EXPECT_NEAR(axis.RestTimeS(), 2.1 + 0.05 + 3.95 + 0.05, c_tolS);
    EXPECT_EQ(axis.PositionAt(4.0), 106); // 200 - 1.25 - 50 * 1.85

    axis.MoveTo(20.0, 1000, c_speed);
    axis.MoveTo(22.0, 197, c_speed); // 2 ticks ahead, 5 needed to stop: overshoots to 200
    EXPECT_NEAR(axis.RestTimeS(), 22.1 + 2.0 * std::sqrt(3.0 / c_accel), c_tolS);
    EXPECT_EQ(axis.PositionAt(30.0), 197);
}

} // namespace
} // namespace simtest
