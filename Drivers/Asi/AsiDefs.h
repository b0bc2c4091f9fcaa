#pragma once

// What an application or a test needs to know about the ASI driver (the module plinth_asi): its
// stage settings, its own result code and its units.

namespace asi {

// Stage-level settings of this driver, kept in the stage's property set (and so in the
// configuration database) and registered by name when the driver is created. IDs from 62000 on
// belong to this driver. They are read at every activation: change them, then re-activate.

// Text (std::wstring): the serial port, e.g. /dev/ttyUSB0. Empty: the stage cannot start.
constexpr int c_propAsiPort = 62000;
// int32: the baud rate; 9600 when absent (an MS-2000's default; a Tiger talks at 115200).
constexpr int c_propAsiBaud = 62001;
// int32: milliseconds to wait for a reply; 1000 when absent or not positive.
constexpr int c_propAsiReplyTimeout = 62002;
// Text: the card address of a Tiger card cage ("1".."9") put before the commands that carry no
// axis letter and are meant for that card (the version query); empty for an MS-2000.
constexpr int c_propAsiCard = 62003;
// Axis-level int32: the axis's ACCEL, milliseconds from rest to its speed (and back to rest).
constexpr int c_propAsiAccelMs = 62010;
// Text, written by the driver: what the controller or the port last complained about, in words
// ("" after a clean start). The same ID and name ("DriverMessage") as every driver that keeps
// one, so that a program shows it whichever driver runs.
constexpr int c_propDriverMessage = 61004;

// The driver's own result code: the controller reports a failed operation (:N-5, a disabled or
// stalled motor), or an axis came to rest away from its target. The words are in "DriverMessage".
constexpr int c_DeviceFault = 4100;

// Ticks are the controller's position units: UM units per millimetre, read from the controller
// at activation (10 000 unless changed, 0.1 µm), so "Calibration" is known from the device. Speeds
// ("Speed", "SpeedMin", "SpeedMax") are ticks per second; the controller's unit is mm/s.

// After a move, the position may differ from the target by this much (the controller rounds a
// target to encoder counts); more is a failure.
constexpr double c_targetToleranceUm = 0.5;

} // namespace asi
