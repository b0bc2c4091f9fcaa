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

CSteadySimClock::CSteadySimClock(double scale) : m_anchorReal(Clock::now().time_since_epoch().count()), m_scale(scale)
{
}

double CSteadySimClock::tAnchor::SimAt(Clock::time_point now) const noexcept
{
    return simS + std::chrono::duration<double>(now - real).count() * scale;
}

CSteadySimClock::tAnchor CSteadySimClock::Anchor() const noexcept
{
    // The fields are read with acquire and written with release: a reader that sees any field of
    // a write in progress also sees the sequence number that write made odd.
    for (;;) {
        const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
        const tAnchor anchor{Clock::time_point(Clock::duration(m_anchorReal.load(std::memory_order_acquire))),
                             m_anchorS.load(std::memory_order_acquire), m_scale.load(std::memory_order_acquire)};
        if ((before & 1U) == 0 && m_sequence.load(std::memory_order_relaxed) == before)
            return anchor;
    }
}

double CSteadySimClock::NowS() { return Anchor().SimAt(Clock::now()); }

void CSteadySimClock::SetTimeScale(double scale)
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    const tAnchor old = Anchor();
    if (scale == old.scale)
        return;
    const Clock::time_point now = Clock::now();
    const std::uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(sequence + 1, std::memory_order_relaxed);
    m_anchorS.store(old.SimAt(now), std::memory_order_release);
    m_anchorReal.store(now.time_since_epoch().count(), std::memory_order_release);
    m_scale.store(scale, std::memory_order_release);
    m_sequence.store(sequence + 2, std::memory_order_release);
}

void CSteadySimClock::WaitUntil(double untilS, std::uint32_t timeoutMs)
{
    const bool limited = timeoutMs != c_noTimeLimit;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const tAnchor anchor = Anchor();
        const Clock::time_point now = Clock::now();
        const double remainingS = untilS - anchor.SimAt(now);
        if (!(remainingS > 0.0) || (limited && now >= deadline))
            return;
        const double sleepS = std::min(remainingS / anchor.scale, c_maxSleepS);
        const Clock::time_point wakeUp =
            now + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(sleepS));
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
