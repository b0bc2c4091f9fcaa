#include "CPySubscription.h"

#include <atomic>
#include <vector>

#include <boost/any.hpp>

#include <plinth/tSTAGEMSG.h>

#include "CReleasedGil.h"

namespace py = pybind11;

namespace plinthpy {
namespace {

// Set by CloseAll: no event reaches Python any more.
std::atomic<bool> g_closedForExit{false};

bool InterpreterGone() { return g_closedForExit.load() || CReleasedGil::InterpreterGone(); }

} // namespace

std::set<CPySubscription*> CPySubscription::ms_open;

CPySubscription::CPySubscription(py::function callback, std::int64_t stageID, bool details)
    : m_target(std::make_shared<tTarget>())
{
    m_target->callback = std::move(callback);
    m_token =
        utl::SubscribeEvent(stg::GetStageEventID(), [target = m_target, stageID, details](const boost::any& message) {
            const auto* msg = boost::any_cast<stg::tSTAGEMSG>(&message);
            if (!msg || (stageID >= 0 && msg->stageID != static_cast<std::uint32_t>(stageID)) || InterpreterGone())
                return;
            py::gil_scoped_acquire gil;
            // A copy: the callable stays alive for this call even when it closes its own subscription.
            const py::object callable = target->callback;
            if (!callable)
                return;
            try {
                if (details) {
                    // A position sample's position goes as its number and unit symbol; other kinds
                    // give no unit, and their result only matters for "move finished".
                    const utl::CUnit& unit = msg->position.GetUnit();
                    callable(msg->msgID, msg->stageID, msg->axis, msg->result, msg->position.GetValue(),
                             msg->msgID == stg::c_msgPositionSample && !unit.IsNull() ? unit.GetSymbol() : "");
                } else {
                    callable(msg->msgID, msg->stageID, msg->axis);
                }
            } catch (py::error_already_set& error) {
                error.discard_as_unraisable("plinth stage event callback");
            } catch (const std::exception& error) {
                PyErr_SetString(PyExc_RuntimeError, error.what());
                PyErr_WriteUnraisable(callable.ptr());
            }
        });
    ms_open.insert(this);
}

// Close() throws only when the interpreter itself fails; ending the process is the answer then.
CPySubscription::~CPySubscription() { Close(); } // NOLINT(bugprone-exception-escape)

void CPySubscription::Close()
{
    if (m_token == 0)
        return;
    const utl::EventToken token = m_token;
    m_token = 0;
    ms_open.erase(this);
    if (CReleasedGil::InterpreterGone()) {
        // Too late to wait for deliveries or to release references: the callable is let go
        // (deliveries see the interpreter gone and never touch it).
        m_target->callback.release();
        return;
    }
    {
        const CReleasedGil released;
        utl::UnsubscribeEvent(token);
    }
    m_target->callback = py::object();
}

void CPySubscription::CloseAll()
{
    g_closedForExit.store(true);
    // Close takes each out of the set, and lets the GIL go meanwhile: another thread may close or
    // destroy the others then, so each is looked up again.
    const std::vector<CPySubscription*> open(ms_open.begin(), ms_open.end());
    for (CPySubscription* subscription : open)
        if (ms_open.count(subscription) != 0)
            subscription->Close();
}

} // namespace plinthpy
