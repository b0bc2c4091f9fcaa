#include "CSteadySimClock.h"

#include <algorithm>
#include <thread>

namespace simstage {
namespace {

// Longest single sleep: a long wait wakes up now and then, so the conversion of the remaining
// time into a duration never overflows.
constexpr double c_maxSleepS = 1.0;
// The last stretch before the wake-up time is spent spinning on the clock, not asleep: a sleep
// ends up to the kernel's timer slack (50 us by default) plus a scheduling delay after the time
// asked for, more on a busy machine.
constexpr std::chrono::microseconds c_spinSpan{300};

} // namespace

CSteadySimClock::CSteadySimClock(double scale) : m_anchorReal(Clock::now()), m_scale(scale) {}

double CSteadySimClock::SimAt(Clock::time_point real) const
{
    return m_anchorS + std::chrono::duration<double>(real - m_anchorReal).count() * m_scale;
}

double CSteadySimClock::NowS()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return SimAt(Clock::now());
}

void CSteadySimClock::SetTimeScale(double scale)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (scale == m_scale)
        return;
    const Clock::time_point now = Clock::now();
    m_anchorS = SimAt(now);
    m_anchorReal = now;
    m_scale = scale;
}

void CSteadySimClock::WaitUntil(double untilS, std::uint32_t timeoutMs)
{
    const bool limited = timeoutMs != c_noTimeLimit;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Clock::time_point wakeUp;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Clock::time_point now = Clock::now();
            const double remainingS = untilS - SimAt(now);
            if (!(remainingS > 0.0) || (limited && now >= deadline))
                return;
            const double sleepS = std::min(remainingS / m_scale, c_maxSleepS);
            wakeUp = now + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(sleepS));
        }
        if (limited && deadline < wakeUp) {
            std::this_thread::sleep_until(deadline); // a time-out need not be met to the microsecond
            continue;
        }
        const Clock::time_point spinFrom = wakeUp - c_spinSpan;
        if (Clock::now() < spinFrom) {
            std::this_thread::sleep_until(spinFrom);
            continue;
        }
        // No yield while spinning: a yield may hand the processor away for longer than the span.
        while (Clock::now() < wakeUp)
            continue;
    }
}

} // namespace simstage
