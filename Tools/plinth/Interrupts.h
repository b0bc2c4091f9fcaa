#pragma once

#include "ExitStatus.h"

namespace plinthcli {

// SIGINT and SIGTERM for the `plinth` command. The handler does no more than record the signal
// and write one byte into a pipe; the code that waits (a move's progress loop, the shell's
// prompt, `watch`) looks at Pending() or waits for ReadFd() to become readable, and then does
// the work: stops the motion it started, unregisters the stage (which stores where the axes
// stand) and ends with ExitStatus(). The library is never called from the handler.
namespace interrupts {

// Installs the handlers; once, at the start of main.
void Install();
// The signal received and not yet taken (SIGINT or SIGTERM), or 0.
int Pending() noexcept;
// Takes the pending signal (0 when none) and empties the pipe.
int Take() noexcept;
// Becomes readable when a signal arrives (it may also be left readable by a signal already
// taken); -1 before Install.
int ReadFd() noexcept;
// Also becomes readable when a signal arrives, for CStopOnSignal alone (which empties it).
int WatchFd() noexcept;
// 130, as a shell reports a command ended by Ctrl-C, for SIGTERM as well: scripts see one status
// for "stopped on request, position kept".
constexpr int ExitStatus(int /*signal*/) noexcept { return exitstatus::c_interrupted; }

} // namespace interrupts

// Thrown by waiting code when a signal ends what the command was doing (after it stopped the
// motion it started); main unregisters the stage and exits with interrupts::ExitStatus(signal).
struct CInterrupted {
    int signal;
};

} // namespace plinthcli
