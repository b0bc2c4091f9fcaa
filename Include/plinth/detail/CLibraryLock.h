#pragma once

#include <mutex>

#include <plinth/detail/CEventDeferral.h>

namespace stg {

// A scoped hold of one of the library's recursive locks (a stage lock, a precision lock) inside an
// event deferral: the lock is released first, then the deferral closes, so the events fired under
// the lock reach their subscribers only once the thread holds no library lock at all.
class CLibraryLock {
public:
    explicit CLibraryLock(std::recursive_mutex& mutex) : m_guard(mutex) {}
    CLibraryLock(const CLibraryLock&) = delete;
    CLibraryLock& operator=(const CLibraryLock&) = delete;

private:
    CEventDeferral m_deferral; // declared first: opened before the lock, closed after it
    std::lock_guard<std::recursive_mutex> m_guard;
};

} // namespace stg
