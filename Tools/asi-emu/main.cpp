// plinth-asi-emu: an emulated ASI MS-2000 (or Tiger) controller with X, Y and Z on a
// pseudo-terminal, for trying the ASI driver (plinth --module asi --port PATH) without hardware.
// Prints the path to open and serves until interrupted. Faults can be asked for on standard
// input, one per line.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "CAsiEmulator.h"
#include "ControlLines.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

// The exit status when the port vanished on its own (--vanish-after-moves).
constexpr int c_vanishedExit = 3;

} // namespace

// An exception that escapes the handlers below is a fault of this program; terminating says so.
int main(int argc, char** argv) // NOLINT(bugprone-exception-escape)
{
    asiemu::tAsiEmulatorOptions options;
    std::string model = "ms2000", softLimits = "stop";
    bool silent = false;
    double garbleRate = 0.0;
    int delayMs = 0;
    CLI::App app("plinth-asi-emu: an emulated ASI MS-2000 / Tiger controller (X, Y, Z) on a pseudo-terminal.\n"
                 "Faults on standard input: silent on|off, delay MS, delay-all MS, garble, garble-rate P,\n"
                 "stall AXIS, vanish, return.",
                 "plinth-asi-emu");
    app.add_option("--model", model, "ms2000 or tiger")
        ->check(CLI::IsMember({"ms2000", "tiger"}))
        ->capture_default_str();
    app.add_option("--time-scale", options.timeScale, "Simulated seconds per real second")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--link", options.linkPath,
                   "Also serve under this path: a symbolic link made here, refused when the path exists");
    app.add_option("--soft-limits", softLimits, "A move beyond SL/SU: stop there, or reject it with :N-4")
        ->check(CLI::IsMember({"stop", "reject"}))
        ->capture_default_str();
    app.add_option("--stall-axis", options.stallAxis, "The axis's first move stops halfway, the motor disabled")
        ->check(CLI::IsMember({"X", "Y", "Z", "x", "y", "z"}));
    app.add_option("--vanish-after-moves", options.vanishAfterMoves,
                   "The port disappears after answering that many moves (then exits 3)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--silent", silent, "Answer nothing");
    app.add_option("--garble", garbleRate, "Share of reply lines turned into noise")->check(CLI::Range(0.0, 1.0));
    app.add_option("--delay", delayMs, "Every reply comes this many milliseconds late")->check(CLI::NonNegativeNumber);
    CLI11_PARSE(app, argc, argv);
    options.tiger = model == "tiger";
    options.rejectBeyondLimits = softLimits == "reject";

    asiemu::CAsiEmulator emulator(options);
    emulator.Silence(silent);
    emulator.SetGarbleRate(garbleRate);
    emulator.SetReplyDelay(delayMs);
    if (!emulator.Start()) {
        std::fprintf(stderr, "plinth-asi-emu: %s\n", emulator.Error().c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("%s\n", emulator.Path().c_str());
    std::fflush(stdout);

    const bool vanished = emukit::ServeControlLines(
        emulator, "plinth-asi-emu", g_stop, [&] { return options.vanishAfterMoves > 0 && emulator.Vanished(); });
    return vanished ? c_vanishedExit : 0;
}
