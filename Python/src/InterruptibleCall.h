#pragma once

#include <cstdint>
#include <functional>

namespace plinthpy {

// Runs a blocking library call on stage `stageID` so that Ctrl-C reaches Python meanwhile.
// Expects the GIL held; answers the call's answer, rethrows what it threw.
//
// On Python's main thread the call runs on a thread of its own while the calling thread waits
// for it in short slices with the GIL released, looking at Python's signals between slices. When
// a signal handler raises (KeyboardInterrupt), the stage is stopped (StopMoving, which reaches a
// driver with a concurrent stop at once), the call is given a few seconds to return, and the
// handler's exception propagates (pybind11::error_already_set). A call that has not returned by
// then finishes on its own thread, which `call` must allow: it owns what it uses. With
// `waitAfterStop` the exception waits until the call has returned instead (for calls on an object
// that Python owns). Other threads get no signals: they make the call themselves, GIL released.
int CallInterruptibly(std::uint32_t stageID, std::function<int()> call, bool waitAfterStop = false);

} // namespace plinthpy
