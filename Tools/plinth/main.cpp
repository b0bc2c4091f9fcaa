// plinth: drive a stage from the command line through the Plinth flat API.

#include <clocale>
#include <cstdio>

#include "CCommands.h"
#include "Interrupts.h"
#include "server/CRemoteCommands.h"
#include "server/CStageServer.h"

// An exception that escapes the handlers below is a fault of this program; terminating says so.
int main(int argc, char** argv) // NOLINT(bugprone-exception-escape)
{
    // Property texts are wide strings; the terminal speaks UTF-8. No other thread runs yet.
    std::setlocale(LC_CTYPE, "C.UTF-8"); // NOLINT(concurrency-mt-unsafe)
    plinthcli::interrupts::Install();
    // Through a stage server when one is named or listens at the default address.
    if (const auto remote = plinthcli::ChooseServer(argc, argv))
        return plinthcli::RunRemote(argc, argv, *remote);

    plinthcli::tTarget target;
    std::string stageText, timeScaleText, baudText;
    CLI::App app("plinth: drive a motorised microscope stage through Plinth (the simulated stage by default)",
                 "plinth");
    app.add_option("--module", target.modulePath,
                   "Driver: a short name (sim, zaber, asi; \"help\" lists them) or the path of a driver module "
                   "(a path contains a slash: ./mystage.so)")
        ->capture_default_str();
    app.add_option("--driver-path", target.driverFolder,
                   "Folder to look in first for a driver named by short name (also: PLINTH_DRIVER_PATH)");
    app.add_option("--stage", stageText, "Stage ID (default 1 for sim and any module path, 2 for zaber, 3 for asi)");
    app.add_option("--port", target.port,
                   "Serial drivers (Zaber, ASI): serial port of the devices, e.g. /dev/ttyUSB0 (remembered)");
    app.add_option("--baud", baudText,
                   "Serial drivers: baud rate (default 115200 for Zaber, 9600 for ASI; remembered)");
    app.add_option("--time-scale", timeScaleText,
                   "Simulated stage only: how much faster than real time it runs (kept with the stage's settings)");
    app.set_version_flag("--version", std::string("plinth ") + PLINTH_VERSION, "Print the version and exit");
    plinthcli::CCommands commands(target);
    commands.Add(app, false);
    plinthcli::CStageServer::tOptions serveOptions;
    std::vector<std::string> serveStages;
    CLI::App* serve =
        app.add_subcommand("serve", "Own the stages and serve them to other processes until SIGINT/SIGTERM");
    serve->add_option("--stage", serveStages,
                      "ID=DRIVER[:PORT], e.g. 1=sim or 2=zaber:/dev/ttyUSB0 (default: the stages remembered in the "
                      "settings, each with the driver it was last opened with; else 1=sim)");
    serve->add_option("--listen", serveOptions.listen, "unix:PATH or tcp:HOST:PORT (default: the user's socket)");
    serve->add_option("--token-file", serveOptions.tokenFile, "A file holding the token every TCP client must give");
    app.require_subcommand(0, 1); // none at all is reported below, in the tool's words
    // Words the parser cannot place are collected, so that they are reported in the tool's words:
    // a mistyped command gets a hint.
    app.allow_extras();

    namespace exitstatus = plinthcli::exitstatus;
    try {
        app.parse(argc, argv);
        if (const auto extras = app.remaining(); !extras.empty()) {
            if (!app.get_subcommands().empty())
                throw plinthcli::CArgumentError("unexpected argument \"" + extras.front() + "\" (see plinth " +
                                                app.get_subcommands().front()->get_name() + " --help)");
            std::vector<std::string> names;
            for (const CLI::App* sub : app.get_subcommands({}))
                names.push_back(sub->get_name());
            const std::string closest = plinthcli::ClosestName(extras.front(), names);
            throw plinthcli::CArgumentError("unknown command \"" + extras.front() + "\" (" +
                                            (closest.empty() ? "see plinth --help" : "did you mean " + closest + "?") +
                                            ")");
        }
        if (!stageText.empty())
            target.stageID = plinthcli::ParseInteger<std::uint32_t>(stageText, "--stage");
        if (!baudText.empty())
            target.baud = plinthcli::ParseBaudRate(baudText, "--baud");
        if (!timeScaleText.empty())
            target.timeScale = plinthcli::ParseReal(timeScaleText, "--time-scale", 1e-6, 1e6);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return exitstatus::c_success;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "plinth: %s (see plinth --help)\n", error.what());
        return exitstatus::c_usage;
    } catch (const plinthcli::CArgumentError& error) {
        std::fprintf(stderr, "plinth: %s\n", error.what());
        return exitstatus::c_usage;
    }

    if (serve->parsed()) {
        try {
            for (const auto& text : serveStages)
                serveOptions.stages.push_back(plinthcli::CStageServer::ParseStage(text));
            serveOptions.timeScale = target.timeScale;
            return plinthcli::CStageServer::Run(serveOptions);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "plinth serve: %s\n", error.what());
            return exitstatus::c_failed;
        }
    }
    if (target.modulePath == "help") {
        commands.ListDrivers();
        return exitstatus::c_success;
    }
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "plinth: no command given (see plinth --help)\n");
        return exitstatus::c_usage;
    }
    // Ends the command: the stage is unregistered, so its driver stores where the axes stand,
    // and the settings this process changed are written.
    const auto close = [&](int status) {
        try {
            commands.Close();
        } catch (const std::exception& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "plinth: %s\n", error.what());
            return status != exitstatus::c_success ? status : exitstatus::c_failed;
        }
        return status;
    };
    try {
        commands.RunChosen();
    } catch (const plinthcli::CInterrupted& interrupted) {
        commands.StopOpenStage();
        std::fflush(stdout);
        return close(plinthcli::interrupts::ExitStatus(interrupted.signal));
    } catch (const plinthcli::CArgumentError& error) {
        // An argument of the command that could not be read (a value, an axis): nothing was done.
        std::fflush(stdout);
        std::fprintf(stderr, "plinth: %s\n", error.what());
        return close(exitstatus::c_usage);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "plinth: %s\n", error.what());
        return close(exitstatus::c_failed);
    }
    return close(exitstatus::c_success);
}
