// plinth-zaber-emu: emulated Zaber ASCII devices on a pseudo-terminal, for trying the Zaber driver
// (plinth --module zaber --port PATH) without hardware. Prints the path to open and serves until
// interrupted. Faults can be asked for on standard input, one per line.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "CZaberEmulator.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

} // namespace

// An exception that escapes the handlers below is a fault of this program; terminating says so.
int main(int argc, char** argv) // NOLINT(bugprone-exception-escape)
{
    zaberemu::tEmulatorOptions options;
    std::string devices = "2,1";
    std::vector<int> withoutAlerts;
    CLI::App app("plinth-zaber-emu: emulated Zaber ASCII devices on a pseudo-terminal.\n"
                 "Faults on standard input: silent on|off, delay MS, garble, bad-checksum, stall ADDRESS AXIS,\n"
                 "vanish, return.",
                 "plinth-zaber-emu");
    app.add_option("--devices", devices, "Axes of each device on the chain, comma-separated")->capture_default_str();
    app.add_option("--no-alerts", withoutAlerts, "Addresses of devices that refuse alerts (polled instead)");
    app.add_option("--time-scale", options.timeScale, "Simulated seconds per real second")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--link", options.linkPath, "Also serve under this path (a symbolic link that survives vanish)");
    CLI11_PARSE(app, argc, argv);

    options.devices.clear();
    std::stringstream list(devices);
    for (std::string item; std::getline(list, item, ',');) {
        zaberemu::tEmulatedDevice device;
        try {
            device.axes = std::stoi(item);
        } catch (const std::exception&) {
            device.axes = 0;
        }
        if (device.axes < 1 || device.axes > 9) {
            std::fprintf(stderr, "plinth-zaber-emu: --devices wants axis counts 1..9, got \"%s\"\n", item.c_str());
            return 2;
        }
        options.devices.push_back(device);
    }
    for (int address : withoutAlerts)
        if (address >= 1 && address <= static_cast<int>(options.devices.size()))
            options.devices[address - 1].alerts = false;

    zaberemu::CZaberEmulator emulator(options);
    if (!emulator.Start()) {
        std::fprintf(stderr, "plinth-zaber-emu: %s\n", emulator.Error().c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("%s\n", emulator.Path().c_str());
    std::fflush(stdout);

    bool input = true;
    std::string pending;
    while (!g_stop) {
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
                std::fprintf(stderr, "plinth-zaber-emu: not understood: %s\n", line.c_str());
        }
    }
    emulator.Stop();
    return 0;
}
