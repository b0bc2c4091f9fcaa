#include "CReleasedGil.h"

#include <atomic>

#include <pythread.h>
#include <unistd.h>

namespace plinthpy {
namespace {

std::atomic<unsigned long> g_mainThread{0};

} // namespace

void CReleasedGil::SetMainThread(unsigned long ident) noexcept { g_mainThread.store(ident); }

bool CReleasedGil::OnMainThread() noexcept { return PyThread_get_thread_ident() == g_mainThread.load(); }

bool CReleasedGil::InterpreterGone() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

CReleasedGil::~CReleasedGil() noexcept(false)
{
    if (InterpreterGone() && !OnMainThread()) {
        // The interpreter would end this thread as soon as it asked for the GIL; the process is
        // about to exit and ends it then.
        for (;;)
            pause();
    }
    PyEval_RestoreThread(m_state);
}

} // namespace plinthpy
