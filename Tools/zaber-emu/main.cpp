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

#include <CLI/CLI.hpp>

#include "CZaberEmulator.h"
#include "ControlLines.h"

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
    bool unknown = false;
    int firmware = 7;
    CLI::App app(
        "plinth-zaber-emu: emulated Zaber ASCII devices on a pseudo-terminal.\n"
        "By default a microscope chain: device 1 an X-MCB2 controller with an X-ASR100B120B-T3 stage\n"
        "(X 100 mm, Y 120 mm), device 2 an X-VSR20A focus drive.\n"
        "Faults on standard input: silent on|off [ADDRESS], delay MS, garble, bad-checksum, stall ADDRESS AXIS,\n"
        "slip ADDRESS AXIS, deaf-to-stop on|off, power-cycle ADDRESS, park ADDRESS, vanish,\n"
        "return.",
        "plinth-zaber-emu");
    app.add_option("--devices", devices,
                   "Axes of each device on the chain, comma-separated: 2 an X-MCB2 with an X-ASR stage, 1 an "
                   "X-VSR20A, others an X-MCC4 with LHM025A stages")
        ->capture_default_str();
    app.add_flag("--unknown-device", unknown, "Add a device whose product ID no table knows");
    app.add_option("--firmware", firmware, "Firmware family of every device (names of the identity settings)")
        ->check(CLI::IsMember({6, 7}))
        ->capture_default_str();
    app.add_option("--no-alerts", withoutAlerts, "Addresses of devices that refuse alerts (polled instead)");
    app.add_option("--time-scale", options.timeScale, "Simulated seconds per real second")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--link", options.linkPath, "Also serve under this path (a symbolic link that survives vanish)");
    CLI11_PARSE(app, argc, argv);

    options.devices.clear();
    std::stringstream list(devices);
    for (std::string item; std::getline(list, item, ',');) {
        int axes = 0;
        try {
            axes = std::stoi(item);
        } catch (const std::exception&) {
            axes = 0;
        }
        if (axes < 1 || axes > 9) {
            std::fprintf(stderr, "plinth-zaber-emu: --devices wants axis counts 1..9, got \"%s\"\n", item.c_str());
            return 2;
        }
        zaberemu::tEmulatedDevice device = zaberemu::MicroscopeChain()[axes == 2 ? 0 : 1];
        if (axes > 2) {
            device.axes = axes;
            device.deviceID = 30342; // X-MCC4
            device.peripheralIDs.assign(static_cast<std::size_t>(axes), 43211);
        }
        options.devices.push_back(device);
    }
    if (unknown)
        options.devices.push_back(zaberemu::Device(zaberemu::c_unknownID));
    for (auto& device : options.devices)
        device.firmware = firmware;
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

    emukit::ServeControlLines(emulator, "plinth-zaber-emu", g_stop);
    return 0;
}
