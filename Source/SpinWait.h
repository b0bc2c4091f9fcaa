#pragma once

// Waiting for another thread by spinning for a short while before sleeping. Waking a sleeping
// thread through a condition variable costs from several to tens of microseconds (a futex
// wake-up, more when the processor had gone idle); a thread that expects an answer within
// microseconds watches a flag for a bounded time instead and sleeps only when the answer is late.

#include <chrono>

#include <utl/CShortLock.h>

namespace stg::detail {

// Spins until `done()` answers true (true) or `budget` has passed (false). `done` must be cheap
// and may run any number of times; it is what the caller then waits for in the ordinary way, so
// a false answer only means "sleep on it".
template <class Done>
bool SpinUntil(Done&& done, std::chrono::nanoseconds budget)
{
    using Clock = std::chrono::steady_clock;
    if (done())
        return true;
    const Clock::time_point end = Clock::now() + budget;
    for (;;) {
        // A few relaxes between clock reads: a clock read costs more than a relax.
        for (int i = 0; i < 16; ++i) {
            utl::CpuRelax();
            if (done())
                return true;
        }
        if (Clock::now() >= end)
            return done();
    }
}

} // namespace stg::detail
