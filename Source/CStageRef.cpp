#include <plinth/CStageRef.h>

#include <plinth/CStageManager.h>

namespace stg {

static thread_local CStageRef* t_innermost = nullptr; // the calling thread's latest hold alive

CStageRef::CStageRef(detail::tStageSlot& slot, CStageAccess* access) noexcept
    : m_slot(&slot), m_access(access), m_outer(t_innermost)
{
    t_innermost = this;
}

CStageRef::~CStageRef()
{
    if (!m_slot)
        return;
    // Holds end in the reverse order as a rule; one kept on the heap may end out of order.
    CStageRef** link = &t_innermost;
    while (*link && *link != this)
        link = &(*link)->m_outer;
    if (*link)
        *link = m_outer;
    CStageManager::StageManager().Release(*m_slot); // may delete the stage
}

unsigned CStageRef::HoldsHere(const detail::tStageSlot& slot) noexcept
{
    unsigned holds = 0;
    for (const CStageRef* hold = t_innermost; hold; hold = hold->m_outer)
        holds += hold->m_slot == &slot ? 1 : 0;
    return holds;
}

} // namespace stg
