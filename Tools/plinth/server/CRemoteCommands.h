#pragma once

#include <memory>
#include <optional>
#include <string>

namespace plinthcli {

// Which server, if any, an invocation of `plinth` runs its command through: `--server ADDRESS`,
// else PLINTH_SERVER, else the default socket when a server answers there (`automatic`), unless
// the command line chooses a local driver (--module, --port) or runs a local-only command (serve,
// shell, demo).
struct tRemoteChoice {
    std::string address;
    bool automatic = false;
};
std::optional<tRemoteChoice> ChooseServer(int argc, char** argv);

// `plinth` through a stage server: the commands pos, move, stop, watch, info, axes, limits, free,
// calib, speed, prop, escape and return with the arguments and output of the local ones. Ctrl-C
// during a blocking move stops that move on the server. Answers the exit status.
int RunRemote(int argc, char** argv, const tRemoteChoice& choice);

} // namespace plinthcli
