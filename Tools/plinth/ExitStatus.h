#pragma once

namespace plinthcli {

// The exit statuses of the `plinth` command, the same for every subcommand (and for the shell
// when it ends).
namespace exitstatus {
constexpr int c_success = 0;       // the command did what was asked
constexpr int c_failed = 1;        // the operation failed; stderr names the result code or the reason
constexpr int c_usage = 2;         // the command line was not understood; nothing was done
constexpr int c_interrupted = 130; // SIGINT or SIGTERM stopped the stage (as a shell reports Ctrl-C)
} // namespace exitstatus

} // namespace plinthcli
