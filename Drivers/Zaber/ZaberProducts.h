#pragma once

// The products the driver knows by their identity, and the length of one microstep on each. No
// command reads a length from a Zaber device: it reports only its device ID (integrated devices and
// controllers), the peripheral ID of the stage on each controller axis, and the microstep
// resolution. The table below turns these into micrometres; an ID it lacks gives no length at all.

#include <string>

namespace zaber {

struct tProduct {
    const char* name = nullptr; // "X-VSR20A", for messages and "ZaberCalibrationSource"
    // Stepper products: the length of one full step, micrometres; one microstep is this divided by
    // the axis's "resolution". Direct-drive products: the encoder count, independent of resolution.
    double stepUm = 0.0;
    bool directDrive = false;
};

// The integrated device (one with its own stage) of this device ID; nullptr when the table lacks
// it, and for controllers, whose stages are peripherals.
const tProduct* FindDevice(int deviceID);
// The peripheral (a stage driven by a controller axis) of this peripheral ID; nullptr when the
// table lacks it, and for 0 (no stage on the axis).
const tProduct* FindPeripheral(int peripheralID);
// Whether the device ID is a controller the table knows (its axes carry peripheral IDs).
bool IsKnownController(int deviceID);
// The length of one microstep (or encoder count) of the product at this resolution, micrometres;
// 0 when the resolution is not positive.
double MicrostepUm(const tProduct& product, int resolution);

} // namespace zaber
