#pragma once

namespace stg {

// Result codes of every operation of the library. 4000 is success; each other code names one
// failure. No other values come out of the library (drivers may answer their own codes, which
// travel up unchanged).
constexpr int c_OK = 4000;                    // the operation did what was asked
constexpr int c_GeneralFailure = 4001;        // unset stage property, worker trouble, empty request
constexpr int c_NoSuchAxis = 4002;            // the stage has no axis of that number
constexpr int c_NotImplemented = 4003;        // the driver lacks the operation (the medium level emulates it)
constexpr int c_LimitsNotDefined = 4005;      // an axis to move has no defined limits
constexpr int c_Busy = 4006;                  // an emulated move of the stage is still running
constexpr int c_Timeout = 4007;               // WaitForStop ran out of time while the axes still move
constexpr int c_AxisDisabled = 4010;          // an axis to move has "AxisEnabled" false
constexpr int c_NoSuchStage = 4011;           // the stage ID is not registered and active
constexpr int c_EscapeCounted = 4012;         // Z escape: only the escape counter changed
constexpr int c_NoEscapeToReturn = 4013;      // Z escape: return asked without an escape
constexpr int c_PropertyNotAccessible = 4014; // property absent from the axis, or not open to access
constexpr int c_EscapeNotPermitted = 4015;    // Z escape: "AllowEscape" false or unreadable
constexpr int c_TargetOutOfRange = 4017;      // a target lies outside the axis limits
// A number that may never reach a driver: a target, limit, calibration, offset, angle or speed
// that is not finite, limits with the minimum above the maximum, or a speed that is not positive.
constexpr int c_InvalidValue = 4020;
constexpr int c_Stopped = 4021; // a blocking move or wait was ended early by StopMoving

// The constant's name without its prefix ("OK", "NoSuchAxis"); "Unknown" for other values.
const char* ResultCodeName(int code) noexcept;
// One line saying what the code means, for messages to people.
const char* ResultCodeMeaning(int code) noexcept;

} // namespace stg
