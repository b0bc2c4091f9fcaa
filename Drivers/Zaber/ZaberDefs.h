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
// FT, FB, FP, FE, FF, FV, FI, FA, or WL, a limit sensor that ended a move early). The flag and its
// meaning are in "DriverMessage". The driver clears the warnings it has reported, so that the next
// move can start.
constexpr int c_DeviceFault = 4100;

// Ticks are microsteps. The length of a microstep belongs to the stage, not to the controller, and
// no command reads it: "Calibration" starts at this value (micrometres per microstep) and the user
// sets the real one (plinth calib X=...).
constexpr double c_defaultMicrostepUm = 0.1;

// Speeds ("Speed", "SpeedMin", "SpeedMax") are microsteps per second; the device's native speed
// unit (maxspeed, move vel) is this many times larger. The same factor for firmware 7 is unconfirmed.
constexpr double c_nativeSpeedPerMicrostepPerS = 1.6384;

} // namespace zaber
