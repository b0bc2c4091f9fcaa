#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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

    // Simulated time is `simS` at the real time `real` and runs `scale` times as fast from there.
    struct tAnchor {
        Clock::time_point real;
        double simS;
        double scale;
        double SimAt(Clock::time_point now) const noexcept;
    };
    // The anchor in force, read without a lock: a reader copies the three fields and keeps the
    // copy when the sequence number was even and unchanged around it (a writer makes it odd while
    // it writes). Position reads take the time on every call; the scale changes rarely.
    tAnchor Anchor() const noexcept;

    std::mutex m_writeMutex; // serialises SetTimeScale
    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<Clock::rep> m_anchorReal;
    std::atomic<double> m_anchorS{0.0};
    std::atomic<double> m_scale;
};

} // namespace simstage
