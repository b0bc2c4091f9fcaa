#include <plinth/detail/CEventDeferral.h>

#include <exception>
#include <vector>

#include <boost/any.hpp>

#include <plinth/StageEvents.h>
#include <plinth/tSTAGEMSG.h>
#include <utl/Events.h>

namespace stg {
namespace {

// Fired under a deferral, not yet delivered (a handful); touched only when events are fired.
thread_local std::vector<tSTAGEMSG> t_pending;
// Every call of the library opens and closes a deferral, and these two counters are all that
// touches. They live in the static TLS block (initial-exec: a few bytes, which the loader keeps
// spare even for a library opened later), so that an access is a load relative to the thread
// pointer rather than a call that looks the library's TLS block up.
[[gnu::tls_model("initial-exec")]] thread_local int t_depth = 0;           // deferrals open on the thread
[[gnu::tls_model("initial-exec")]] thread_local bool t_anyPending = false; // t_pending is not empty

// Delivers until nothing is pending. A subscriber's own calls deliver from the same queue, so the
// order stays the order of firing however deep the delivery nests.
void DeliverPending(bool dropErrors)
{
    auto& pending = t_pending;
    while (!pending.empty()) {
        const tSTAGEMSG message = pending.front();
        pending.erase(pending.begin());
        t_anyPending = !pending.empty();
        try {
            utl::FireEvent(GetStageEventID(), boost::any(message));
        } catch (...) {
            if (dropErrors)
                continue;
            pending.clear();
            t_anyPending = false;
            throw;
        }
    }
}

} // namespace

CEventDeferral::CEventDeferral(ESubscriberError onError) noexcept : m_onError(onError) { ++t_depth; }

CEventDeferral::~CEventDeferral() noexcept(false)
{
    if (--t_depth > 0 || !t_anyPending)
        return;
    // Whether an exception is on its way is asked only here, when there is something to deliver
    // (not when every deferral opens): an exception unwinding this scope, or one whose unwinding
    // runs the destructor this deferral was opened in, where a subscriber's exception would have
    // nowhere to go but std::terminate.
    DeliverPending(m_onError == ESubscriberError::eDrop || std::uncaught_exceptions() > 0);
}

void CEventDeferral::Fire(const tSTAGEMSG& message)
{
    t_pending.push_back(message);
    t_anyPending = true;
    if (t_depth == 0)
        DeliverPending(false);
}

} // namespace stg
