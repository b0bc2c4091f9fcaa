#pragma once

#include <Python.h>

namespace plinthpy {

// The GIL let go for a call into the library and taken back when it returns (a call guard of the
// binding's functions; expects the GIL held on construction).
//
// Taking the GIL back is where a finalising interpreter ends a thread that is not its own: it
// calls pthread_exit, whose forced unwinding ends the process ("terminate called without an
// active exception") when it meets a frame that may not throw, such as an ordinary destructor. So
// the destructor may throw (the unwinding passes up through the binding), and a thread that
// other than the main one (which finalises) that returns from the library after finalisation
// began does not try at all: it waits for the process to end, holding nothing of the library.
class CReleasedGil {
public:
    CReleasedGil() : m_state(PyEval_SaveThread()) {}
    ~CReleasedGil() noexcept(false); // NOLINT(bugprone-exception-escape): see above
    CReleasedGil(const CReleasedGil&) = delete;
    CReleasedGil& operator=(const CReleasedGil&) = delete;

    // Whether the interpreter is gone or going (Python's own answer; callable without the GIL).
    static bool InterpreterGone() noexcept;
    // Names the thread that will finalise the interpreter (Python's main thread, by its
    // threading ident).
    static void SetMainThread(unsigned long ident) noexcept;
    // Whether the calling thread is that thread (the only one that runs signal handlers).
    static bool OnMainThread() noexcept;

private:
    PyThreadState* m_state;
};

} // namespace plinthpy
