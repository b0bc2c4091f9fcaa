#include <utl/CShortLock.h>

#include <chrono>

namespace utl {

void CShortLock::LockContended() noexcept
{
    // Spins read the flag only (no exchange) so that waiting threads do not keep stealing the
    // cache line from the holder.
    constexpr unsigned c_spins = 100, c_yields = 200;
    for (unsigned attempt = 0;; ++attempt) {
        if (try_lock())
            return;
        if (attempt < c_spins)
            CpuRelax();
        else if (attempt < c_yields)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

} // namespace utl
