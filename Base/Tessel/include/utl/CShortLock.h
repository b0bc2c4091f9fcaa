#pragma once

#include <atomic>
#include <thread>

namespace utl {

// Tells the processor that the thread is spinning (frees the core's resources for a sibling
// hyper-thread and saves power); an ordinary yield where there is no such instruction.
inline void CpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#else
    std::this_thread::yield();
#endif
}

// A lock for critical sections of a few dozen instructions that are rarely contended, such as
// the look-up and copy of one property value. Taking and releasing it uncontended costs one
// atomic exchange and one plain store, about a third of a std::mutex. A thread that finds it
// taken spins for a moment, then yields, then sleeps in short steps: a holder that was preempted
// always gets to finish, whatever the threads' priorities. Not recursive; meets the standard's
// Lockable requirements (std::lock_guard, std::unique_lock).
class CShortLock {
public:
    CShortLock() = default;
    CShortLock(const CShortLock&) = delete;
    CShortLock& operator=(const CShortLock&) = delete;

    void lock() noexcept
    {
        if (m_taken.exchange(true, std::memory_order_acquire))
            LockContended();
    }
    bool try_lock() noexcept
    {
        return !m_taken.load(std::memory_order_relaxed) && !m_taken.exchange(true, std::memory_order_acquire);
    }
    void unlock() noexcept { m_taken.store(false, std::memory_order_release); }

private:
    void LockContended() noexcept;

    std::atomic<bool> m_taken{false};
};

} // namespace utl
