#pragma once

#include <chrono>
#include <mutex>

#include "ISimClock.h"

namespace simstage {

// The simulated stage's clock in normal use: std::chrono::steady_clock, scaled. Thread-safe.
class CSteadySimClock final : public ISimClock {
public:
    // Starts at simulated time 0 with `scale` simulated seconds per real second.
    explicit CSteadySimClock(double scale = 1.0);

    double NowS() override;
    void SetTimeScale(double scale) override;
    // Sleeps, and spins for the last fraction of a millisecond so as to return on time rather
    // than when a late sleep ends; `timeoutMs` is real time.
    void WaitUntil(double untilS, std::uint32_t timeoutMs) override;

private:
    using Clock = std::chrono::steady_clock;

    double SimAt(Clock::time_point real) const; // expects m_mutex held

    std::mutex m_mutex;
    Clock::time_point m_anchorReal; // simulated time is m_anchorS at this real time ...
    double m_anchorS = 0.0;
    double m_scale; // ... and runs m_scale times as fast from there
};

} // namespace simstage
