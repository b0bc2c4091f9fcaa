// plinth: drive a stage from the command line through the Plinth flat API.

#include <clocale>
#include <cstdio>

#include "CCommands.h"

int main(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "C.UTF-8"); // property texts are wide strings; the terminal speaks UTF-8

    plinthcli::tTarget target;
    CLI::App app("plinth: drive a motorised microscope stage through Plinth (the simulated stage by default)",
                 "plinth");
    app.add_option("--module", target.modulePath,
                   "Driver: sim (the simulated stage), zaber (Zaber ASCII devices on a serial port), or the path "
                   "of a driver module")
        ->capture_default_str();
    app.add_option("--stage", target.stageID, "Stage ID (default 1; 2 with --module zaber)");
    app.add_option("--port", target.port, "Zaber: serial port of the devices, e.g. /dev/ttyUSB0 (remembered)");
    app.add_option("--baud", target.baud, "Zaber: baud rate (default 115200; remembered)")
        ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400}));
    app.add_option("--time-scale", target.timeScale,
                   "Simulated stage only: how much faster than real time it runs (kept with the stage's settings)")
        ->check(CLI::PositiveNumber);
    plinthcli::CCommands commands(target);
    commands.Add(app, false);
    app.require_subcommand(0, 1); // none at all is reported below, in the tool's words

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "plinth: %s (see plinth --help)\n", error.what());
        return error.get_exit_code() != 0 ? error.get_exit_code() : 2;
    }

    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "plinth: no command given (see plinth --help)\n");
        return 2;
    }
    try {
        commands.RunChosen();
        commands.Close();
    } catch (const std::exception& error) {
        commands.Close();
        std::fflush(stdout);
        std::fprintf(stderr, "plinth: %s\n", error.what());
        return 1;
    }
    return 0;
}
