#include "CPySubscription.h"

#include <boost/any.hpp>

#include <plinth/tSTAGEMSG.h>

namespace py = pybind11;

namespace plinthpy {
namespace {

bool InterpreterGone()
{
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

} // namespace

CPySubscription::CPySubscription(py::function callback, std::int64_t stageID) : m_target(std::make_shared<tTarget>())
{
    m_target->callback = std::move(callback);
    m_token = utl::SubscribeEvent(stg::GetStageEventID(), [target = m_target, stageID](const boost::any& message) {
        const auto* msg = boost::any_cast<stg::tSTAGEMSG>(&message);
        if (!msg || (stageID >= 0 && msg->stageID != static_cast<std::uint32_t>(stageID)) || InterpreterGone())
            return;
        py::gil_scoped_acquire gil;
        // A copy: the callable stays alive for this call even when it closes its own subscription.
        const py::object callable = target->callback;
        if (!callable)
            return;
        try {
            callable(msg->msgID, msg->stageID, msg->axis);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("plinth stage event callback");
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            PyErr_WriteUnraisable(callable.ptr());
        }
    });
}

// Close() throws only when the interpreter itself fails; ending the process is the answer then.
CPySubscription::~CPySubscription() { Close(); } // NOLINT(bugprone-exception-escape)

void CPySubscription::Close()
{
    if (m_token == 0)
        return;
    const utl::EventToken token = m_token;
    m_token = 0;
    if (InterpreterGone()) {
        // Too late to wait for deliveries or to release references: the callable is let go
        // (deliveries see the interpreter gone and never touch it).
        m_target->callback.release();
        return;
    }
    {
        py::gil_scoped_release released;
        utl::UnsubscribeEvent(token);
    }
    m_target->callback = py::object();
}

} // namespace plinthpy
