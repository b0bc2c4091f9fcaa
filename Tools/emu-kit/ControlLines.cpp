#include "ControlLines.h"

#include <cstdio>
#include <string>

#include <poll.h>
#include <unistd.h>

namespace emukit {

bool ServeControlLines(CLineEmulator& emulator, const char* program, const std::atomic<bool>& stop,
                       const std::function<bool()>& ended)
{
    bool input = true;
    std::string pending;
    while (!stop) {
        if (ended && ended()) {
            emulator.Stop();
            return true;
        }
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, input ? 1 : 0, 200) <= 0) // without input: look at the stop flag now and then
            continue;
        char chunk[256];
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
        if (n <= 0) {
            input = false; // no more control lines; serve until interrupted
            continue;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && !emulator.Control(line))
                std::fprintf(stderr, "%s: not understood: %s\n", program, line.c_str());
        }
    }
    emulator.Stop();
    return false;
}

} // namespace emukit
