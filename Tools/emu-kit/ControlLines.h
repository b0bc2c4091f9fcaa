#pragma once

#include <atomic>
#include <functional>

#include "CLineEmulator.h"

namespace emukit {

// Serves an emulator's control lines from standard input until `stop` is set (by a signal
// handler) or `ended` answers true (asked before each wait of at most 200 ms). Each line goes to
// emulator.Control; one it does not understand is reported on stderr, prefixed with `program`.
// When the input ends the emulator goes on serving until stopped. Stops the emulator before it
// answers; answers whether `ended` ended it.
bool ServeControlLines(CLineEmulator& emulator, const char* program, const std::atomic<bool>& stop,
                       const std::function<bool()>& ended = nullptr);

} // namespace emukit
