#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

// The flat API: free functions that drive a stage by its stage ID, for callers that hold no
// stage object. Each finds the stage's access object in the stage manager; a stage ID that is not
// registered and active gets the function's missing-stage answer at once, with nothing else
// done: c_NoSuchStage (4011) for result codes, false, 0, -1 for an axis number or type, an empty
// list; output arguments are left as they were. Otherwise the answer of the stage comes back
// unchanged. No function records an error by itself: pass a failing code to stg::CheckError to
// make it the thread's last error. No lock of its own; any thread may call. Exceptions from
// below (incompatible units) pass to the caller.

namespace stg {

// c_OK: true, nothing else. Any other code: records it as the calling thread's last error
// (app::GetLastError(): group 9, function "stg::CheckError") and answers false.
bool CheckError(int code);

bool CheckConnection(std::uint32_t stageID);
int GetAxisCount(std::uint32_t stageID);
EAxisType GetAxisType(std::uint32_t stageID, const int& axis);
int GetAxisFromType(std::uint32_t stageID, const EAxisType& type);
int GetEnabledAxes(std::uint32_t stageID, std::vector<int>& axes);
int GetEnabledAxes(std::uint32_t stageID, std::vector<EAxisType>& types);
bool AreLimitsDefined(std::uint32_t stageID);            // every enabled axis has its limits
int EnablePrecision(std::uint32_t stageID, bool enable); // c_OK once the stage is found
bool IsPrecisionEnabled(std::uint32_t stageID);
int EnableUserControl(std::uint32_t stageID, bool enable);
bool IsUserControlEnabled(std::uint32_t stageID);
// Stops every axis of the stage. On a driver that declares a concurrent stop (the shipped ones
// do) it does not wait for a move, a wait or a free run that another thread is in: it answers
// once the driver has brought the axes to rest, and the other thread's blocking move or wait
// answers c_Stopped. Other drivers get the stop after the call that holds the stage. No lock of
// the library stands in its way.
int StopMoving(std::uint32_t stageID);
// The outcome of the last emulated move of the stage: a MoveTo without `wait` (or a free run) on
// a driver without a started move runs the driver's blocking move on a worker thread, so
// neither the move's nor WaitForStop's answer can say how it went (WaitForStop answers c_OK once
// the worker ended). c_Busy while the worker runs; then the driver's answer to the move
// (c_Stopped when it was stopped), the validation's code when the targets were no longer allowed
// when the driver was to be called, or c_GeneralFailure when the driver threw; c_OK when no
// emulated move has run. Pass a failing answer to CheckError to make it the thread's last error.
int GetLastEmulatedMoveResult(std::uint32_t stageID);
std::vector<int> GetAxisList(std::uint32_t stageID);
std::vector<EAxisType> GetAxisTypeList(std::uint32_t stageID);

// Typed properties of the stage, of an axis by number and of an axis by type, straight through
// the low-level stage's property vessels: no unit conversion, no calibration.
// - "Minimum" and "Maximum" are refused (c_PropertyNotAccessible): the limits are set in physical
//   units through the limit functions.
// - Writes of the properties that make up the stage's structure are refused the same way (reads
//   pass): "Axes", the list of the axes' settings, and an axis's "AxisNo" and "AxisType", which
//   the driver sets. Written, they would cut the axes off their stored settings.
// - A read fills `value` only on c_OK. A stored value of another type than the one asked for is
//   never reinterpreted: the read answers c_PropertyNotAccessible and leaves `value` alone. A
//   double read of a value with a unit gives its bare number; a unit-value read of a plain double
//   gives the null unit.
// - The axis-type forms pass the type's axis number on as it is, -1 for a type the stage lacks,
//   so the vessel answers for the missing axis (c_NoSuchAxis by default).
// - A write of a number that no setting may take answers c_InvalidValue and changes nothing: a
//   double (with or without a unit) that is not finite, or a "Speed", "SpeedMin" or "SpeedMax"
//   that is not positive.
// - A write of a value outside what the property's registration declares (its range or its
//   allowed values, utl::tPropertyInfo) answers c_InvalidValue and changes nothing: this check
//   holds for every writer through these functions, not only the name-based front ends (the
//   `plinth` command, Python), which name the setting and utl::DeclaredValuesText in their refusal.
//   A driver writing its own settings through its low-level stage is not checked.
// - A read of a property that the stage (or axis) has never stored answers the default its
//   registration declares, when it declares one at that level (PrecisionEnabled, AxisInverted,
//   OffsetPosition, ...); otherwise the vessel's failure as before.
// - A stage-level write answers c_OK once the stage is found and the value may be taken.
// Value types: int, double, std::wstring, bool, std::int64_t and utl::TUnitValue<double>.

// int values.
int GetProperty(std::uint32_t stageID, const int& propID, int& value);
int SetProperty(std::uint32_t stageID, const int& propID, const int& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, int& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const int& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, int& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const int& value);

// double values.
int GetProperty(std::uint32_t stageID, const int& propID, double& value);
int SetProperty(std::uint32_t stageID, const int& propID, const double& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, double& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const double& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, double& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const double& value);

// std::wstring (text) values.
int GetProperty(std::uint32_t stageID, const int& propID, std::wstring& value);
int SetProperty(std::uint32_t stageID, const int& propID, const std::wstring& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, std::wstring& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const std::wstring& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, std::wstring& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const std::wstring& value);

// bool values.
int GetProperty(std::uint32_t stageID, const int& propID, bool& value);
int SetProperty(std::uint32_t stageID, const int& propID, const bool& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, bool& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const bool& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, bool& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const bool& value);

// std::int64_t values.
int GetProperty(std::uint32_t stageID, const int& propID, std::int64_t& value);
int SetProperty(std::uint32_t stageID, const int& propID, const std::int64_t& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, std::int64_t& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const std::int64_t& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, std::int64_t& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const std::int64_t& value);

// utl::TUnitValue<double> (a double with a unit) values.
int GetProperty(std::uint32_t stageID, const int& propID, utl::TUnitValue<double>& value);
int SetProperty(std::uint32_t stageID, const int& propID, const utl::TUnitValue<double>& value);
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, utl::TUnitValue<double>& value);
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const utl::TUnitValue<double>& value);
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, utl::TUnitValue<double>& value);
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const utl::TUnitValue<double>& value);

// "AxisEnabled" of an axis; every failure reads as not enabled.
bool IsAxisEnabled(std::uint32_t stageID, int axis);
bool IsAxisEnabled(std::uint32_t stageID, EAxisType type);
// The axis-level vessel's answer (c_NoSuchAxis for an axis the stage lacks).
int EnableAxis(std::uint32_t stageID, int axis, bool enable);
int EnableAxis(std::uint32_t stageID, EAxisType type, bool enable);

} // namespace stg
