#include <plinth/CEventDeferral.h>

#include <exception>
#include <vector>

#include <boost/any.hpp>

#include <plinth/StageEvents.h>
#include <utl/Events.h>

namespace stg {
namespace {

struct tThreadEvents {
    int depth = 0;                  // deferrals open on the thread
    std::vector<tSTAGEMSG> pending; // fired under a deferral, not yet delivered (a handful)
};
thread_local tThreadEvents t_events;

// Delivers until nothing is pending. A subscriber's own calls deliver from the same queue, so the
// order stays the order of firing however deep the delivery nests.
void DeliverPending(bool dropErrors)
{
    auto& pending = t_events.pending;
    while (!pending.empty()) {
        const tSTAGEMSG message = pending.front();
        pending.erase(pending.begin());
        try {
            utl::FireEvent(GetStageEventID(), boost::any(message));
        } catch (...) {
            if (dropErrors)
                continue;
            pending.clear();
            throw;
        }
    }
}

} // namespace

CEventDeferral::CEventDeferral(ESubscriberError onError) noexcept
    : m_uncaught(std::uncaught_exceptions()), m_onError(onError)
{
    ++t_events.depth;
}

CEventDeferral::~CEventDeferral() noexcept(false)
{
    if (--t_events.depth > 0 || t_events.pending.empty())
        return;
    DeliverPending(m_onError == ESubscriberError::eDrop || std::uncaught_exceptions() > m_uncaught);
}

void CEventDeferral::Fire(const tSTAGEMSG& message)
{
    t_events.pending.push_back(message);
    if (t_events.depth == 0)
        DeliverPending(false);
}

} // namespace stg
