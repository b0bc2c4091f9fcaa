#pragma once

#include <plinth/CStageAccess.h>

namespace stg {

namespace detail {
struct tStageSlot; // see StageSlot.h in the library's sources
}

// A hold on an active stage, from CStageManager::Acquire: while it lives, the stage's objects
// (stage access object, medium level, driver object) stay alive, even when another thread
// deactivates, unregisters or resets the stage meanwhile; those wait until every hold of other
// threads has ended. Empty when the stage was not active. Holds are for the length of a call,
// not for keeping: a stage cannot be retired while another thread keeps one.
//
// A hold is neither copied nor moved (Acquire's answer is constructed in place) and ends on the
// thread that took it: the holds of a thread form a list of its own, innermost first, by which
// a thread that retires a stage it is inside a call on knows not to wait for itself.
class CStageRef {
public:
    CStageRef() noexcept = default;
    CStageRef(const CStageRef&) = delete;
    CStageRef& operator=(const CStageRef&) = delete;
    ~CStageRef();

    explicit operator bool() const noexcept { return m_access != nullptr; }
    CStageAccess* get() const noexcept { return m_access; }
    CStageAccess& operator*() const noexcept { return *m_access; }
    CStageAccess* operator->() const noexcept { return m_access; }

private:
    friend class CStageManager;
    // Counted in `slot` already; becomes the calling thread's innermost hold.
    CStageRef(detail::tStageSlot& slot, CStageAccess* access) noexcept;
    // How many holds of `slot` the calling thread has.
    static unsigned HoldsHere(const detail::tStageSlot& slot) noexcept;

    detail::tStageSlot* m_slot = nullptr;
    CStageAccess* m_access = nullptr;
    CStageRef* m_outer = nullptr; // the thread's hold taken before this one
};

} // namespace stg
