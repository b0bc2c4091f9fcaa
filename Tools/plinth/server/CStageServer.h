#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plinthcli {

// `plinth serve`: registers and activates the stages it is given (or, given none, the stages the
// configuration file remembers with their drivers, see RememberedStages.h), serves them over gRPC until
// SIGINT or SIGTERM, then stops their motion, ends the calls, unregisters every stage (so their
// positions are stored) and answers exit status 0.
//
// Addresses: a Unix-domain socket (by default DefaultSocketPath()) in a directory only the user
// may enter, the socket itself owner-only; or TCP (`tcp:HOST:PORT`), then only with a token file.
// The server accepts the connections itself and hands them to gRPC, which lets it log one line
// per client connect and disconnect.
class CStageServer {
public:
    struct tStage {
        std::uint32_t id = 0;
        std::string driver; // a short name (sim, zaber) or a module path, chosen on the command line
        std::string port;   // a hardware driver's serial port, "" to keep the remembered one
    };
    struct tOptions {
        std::vector<tStage> stages; // none: the remembered stages, else 1=sim
        std::string listen;         // "" for the default socket
        std::string tokenFile;      // required with TCP
        double timeScale = 0.0;     // > 0: the simulated stage's time scale
    };

    // Throws std::runtime_error with one line when it cannot start (a stage, the address).
    static int Run(const tOptions& options);

    // Reads "ID=DRIVER[:PORT]"; throws std::runtime_error.
    static tStage ParseStage(const std::string& text);
};

} // namespace plinthcli
