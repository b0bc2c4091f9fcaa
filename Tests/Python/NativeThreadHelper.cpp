// For the Python tests only: runs a library call on a thread that Python has never seen, the way
// a driver's or the library's own thread would fire stage events.

#include <cstdint>
#include <thread>
#include <vector>

#include <pthread.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <plinth/StageAPIAxes.h>
#include <plinth/tSTAGEMSG.h>
#include <utl/Events.h>

namespace py = pybind11;

PYBIND11_MODULE(_plinth_testhelp, m)
{
    // Forgets the limits of `axes` (which fires a limits event per axis) on a new native thread;
    // answers the library's code and the thread's identity as threading.get_ident() shows it.
    m.def("undefine_limits_on_native_thread", [](std::uint32_t stageID, const std::vector<int>& axes) {
        int rc = 0;
        std::uint64_t ident = 0;
        py::gil_scoped_release released;
        std::thread thread([&] {
            ident = static_cast<std::uint64_t>(pthread_self());
            rc = stg::UndefineLimits(stageID, axes);
        });
        thread.join();
        return std::make_pair(rc, ident);
    });
    // Fires limits events of `stageID` on a native thread without end, until the process exits
    // (the thread is never joined): events that keep coming while the interpreter shuts down.
    m.def("fire_events_until_exit", [](std::uint32_t stageID) {
        std::thread([stageID] {
            for (;;) {
                utl::FireEvent(stg::GetStageEventID(), stg::tSTAGEMSG(stg::c_msgLimitsChanged, stageID, -1));
                std::this_thread::yield();
            }
        }).detach();
    });
}
