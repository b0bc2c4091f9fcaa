#pragma once

#include <cstdint>

namespace simstage {

// WaitUntil's time-out that means no limit. The motion model is shared with the emulator and
// knows nothing of the library; the simulated stage checks that this is stg::c_waitForever.
constexpr std::uint32_t c_noTimeLimit = UINT32_MAX;

// The time base of the simulated stage: simulated seconds since the clock's own start. The
// driver reads it for every position and status; the motion model never looks at a clock itself.
// CSteadySimClock runs with real time times a scale; a test may hand the driver a clock that it
// moves on by hand, which makes motion tests fast and exact.
class ISimClock {
public:
    virtual ~ISimClock() = default;

    // The simulated time now, seconds.
    virtual double NowS() = 0;
    // From now on `scale` (positive and finite) simulated seconds pass per second of the
    // caller's time. The simulated time goes on from where it is: a new scale never makes it jump.
    virtual void SetTimeScale(double scale) = 0;
    // Returns once the simulated time has reached `untilS`, or once `timeoutMs` milliseconds of
    // the caller's time have passed (c_noTimeLimit: no limit), whichever comes first. Returns at
    // once when `untilS` has passed already.
    virtual void WaitUntil(double untilS, std::uint32_t timeoutMs) = 0;
};

} // namespace simstage
