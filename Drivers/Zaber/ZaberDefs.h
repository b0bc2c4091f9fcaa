#pragma once

// What an application or a test needs to know about the Zaber driver (the module plinth_zaber):
// its stage settings, its own result code and its units.

namespace zaber {

// Stage-level settings of this driver, kept in the stage's property set (and so in the
// configuration database) and registered by name when the driver is created. IDs from 61000 on
// belong to this driver. They are read at every activation: change them, then re-activate.

// Text (std::wstring): the serial port, e.g. /dev/ttyUSB0. Empty: the stage cannot start.
constexpr int c_propZaberPort = 61000;
// int32: the baud rate; 115200 when absent (the usual rate of devices in ASCII mode).
constexpr int c_propZaberBaud = 61001;
// Text: which device axis drives X, Y and Z, e.g. "X=1.1 Y=1.2 Z=2.1" (device address, dot, axis);
// an axis left out is not used. Empty or "auto": the axes of the chain in order (device by device) give X,
// Y and Z, so that a two-axis device (or two single-axis devices) gives X and Y and the next
// axis Z.
constexpr int c_propZaberAxisMap = 61002;
// int32: milliseconds to wait for a reply; 1000 when absent or not positive.
constexpr int c_propZaberReplyTimeout = 61003;
// Text, written by the driver: what the devices or the port last complained about, in words
// ("" after a clean start). Registered as "DriverMessage" so that a program can show it for any
// driver that keeps one.
constexpr int c_propDriverMessage = 61004;

// The driver's own result code: a device reports a fault (the highest flag was one of FD, FQ, FS,
// FT, FB, FP, FE, FF, FV, FI, FA, or WL, a limit sensor that ended a move early), a move ended short
// of its target, or a device answered a number outside its range (a position outside the axis's
// travel). The flag and its meaning are in "DriverMessage". The driver clears the warnings it has
// reported, so that the next move can start.
constexpr int c_DeviceFault = 4100;

// Int32, stage level: 1 (the default) makes the range search home the Z axis first and wait until
// it has finished before X and Y start, so that the focus drive is out of the way while the stage
// travels; 0 homes every axis at once.
constexpr int c_propZaberHomeZFirst = 61005;
// Text, axis level, written by the driver: where the axis's "Calibration" came from. "table" (the
// product table, by the device's identity), "user" (set by the user; wins over the table from then
// on) or "none" (no known product: moves in physical units are refused until the user sets it).
constexpr int c_propZaberCalibrationSource = 61006;

// Ticks are microsteps (encoder counts on direct-drive products). The length of one comes from the
// product table (ZaberProducts.h) by the device's identity and resolution; an unknown product's axis
// starts with a calibration that is not a number, which the library refuses to use for a move.

// Speeds ("Speed", "SpeedMin", "SpeedMax", free runs) are microsteps per second; the native speed
// unit of A- and X-series devices (maxspeed, move vel) is this many times larger. Other families
// have other factors: their speeds are refused. The same factor for firmware 7 is unconfirmed.
constexpr double c_nativeSpeedPerMicrostepPerS = 1.6384;
// The highest native speed is this many times the axis's resolution.
constexpr int c_nativeSpeedPerResolution = 16384;
// A move that ends, without a fault flag, more than this many microsteps from its target answers
// c_DeviceFault: stepper axes stop on the microstep they were sent to; the slack allows for
// encoder devices that settle a count or two off.
constexpr int c_arrivalToleranceTicks = 2;
// After a stop, how long the driver waits for the axes to report standstill before it answers
// c_Timeout saying that the stage may still be moving.
constexpr int c_stopSettleMs = 3000;
// A device claiming more axes than the one-digit axis field can address is refused.
constexpr int c_maxAxesPerDevice = 9;

} // namespace zaber
