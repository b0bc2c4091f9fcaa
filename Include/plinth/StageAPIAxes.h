#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

// The flat API for positions, moves, limits, calibration and speeds, by axis number (int) or by
// axis type (EAxisType): map and list forms that pass straight to the stage's access object, and
// single-axis forms that wrap their axis into a one-entry map or list. Positions, limits and
// calibrations carry their units; speeds are plain doubles in the stage's speed unit, or lengths
// per second in the single-axis forms that take a unit value. A stage ID
// without an active stage answers c_NoSuchStage (false for the bool functions) and leaves every
// output as it was. An axis type the stage lacks reaches the layers below as axis -1 and fails
// there. Targets, limits, calibrations and free-run speeds that are not finite, speeds that are
// not positive and a minimum above its maximum are refused with c_InvalidValue before anything
// reaches the driver.
//
// GetPosition with eAllAxes fills in the enabled axes, but checks every axis of the stage as a
// move would: while one axis is disabled it answers c_AxisDisabled (c_LimitsNotDefined for an
// enabled axis without limits outside limit-setting mode) and reads nothing; name the enabled
// axes (GetEnabledAxes) with eGivenAxes to read them then. In precision mode every read and move
// checks all axes that way, whichever axes it names (CStageAccess::GetPosition, CPrecision).

namespace stg {

// Map and list forms.

// Positions and moves.
int GetPosition(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& positions, const ESelection& selection);
int GetPosition(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& positions,
                const ESelection& selection);
// `wait` true: returns once the axes stand at the targets; false: starts the move.
int MoveTo(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets, bool wait);
int MoveTo(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets, bool wait);
int MoveToPos(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets);
int MoveToPos(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets);
int SetPosition(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets);
int SetPosition(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets);
int MoveFree(std::uint32_t stageID, const std::map<int, double>& speeds);
int MoveFree(std::uint32_t stageID, const std::map<EAxisType, double>& speeds);
bool IsMoving(std::uint32_t stageID, const std::vector<int>& axes);
bool IsMoving(std::uint32_t stageID, const std::vector<EAxisType>& types);
int WaitForStop(std::uint32_t stageID, const std::vector<int>& axes, std::uint32_t timeoutMs);
int WaitForStop(std::uint32_t stageID, const std::vector<EAxisType>& types, std::uint32_t timeoutMs);

// Limits.
int UndefineLimits(std::uint32_t stageID, const std::vector<int>& axes);
int UndefineLimits(std::uint32_t stageID, const std::vector<EAxisType>& types);
int GetMaxima(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& maxima, const ESelection& selection);
int GetMaxima(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& maxima, const ESelection& selection);
int GetMinima(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& minima, const ESelection& selection);
int GetMinima(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& minima, const ESelection& selection);
int SetMaxima(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& maxima);
int SetMaxima(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& maxima);
int SetMinima(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& minima);
int SetMinima(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& minima);

// Calibration.
int GetCalibration(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& calibration,
                   const ESelection& selection);
int GetCalibration(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& calibration,
                   const ESelection& selection);
int SetCalibration(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& calibration);
int SetCalibration(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& calibration);

// Speeds.
int GetSpeeds(std::uint32_t stageID, std::map<int, double>& speeds, const ESelection& selection);
int GetSpeeds(std::uint32_t stageID, std::map<EAxisType, double>& speeds, const ESelection& selection);
int SetSpeeds(std::uint32_t stageID, const std::map<int, double>& speeds);
int SetSpeeds(std::uint32_t stageID, const std::map<EAxisType, double>& speeds);

// Single-axis forms.
bool AreLimitsDefined(std::uint32_t stageID, int axis);
bool AreLimitsDefined(std::uint32_t stageID, EAxisType type);
int UndefineLimits(std::uint32_t stageID, int axis);
int UndefineLimits(std::uint32_t stageID, EAxisType type);
// The axis's position in the unit the stage gives it; `position` only on c_OK.
int GetPosition(std::uint32_t stageID, int axis, utl::TUnitValue<double>& position);
int GetPosition(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& position);
int MoveTo(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& position, bool wait);
int MoveTo(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& position, bool wait);
int MoveFree(std::uint32_t stageID, int axis, double speed);
int MoveFree(std::uint32_t stageID, EAxisType type, double speed);
bool IsMoving(std::uint32_t stageID, int axis);
bool IsMoving(std::uint32_t stageID, EAxisType type);
int WaitForStop(std::uint32_t stageID, int axis, std::uint32_t timeoutMs);
int WaitForStop(std::uint32_t stageID, EAxisType type, std::uint32_t timeoutMs);
// Reads the maximum first, then the minimum; both outputs only when both reads succeeded.
int GetAxisLimits(std::uint32_t stageID, int axis, utl::TUnitValue<double>& minimum, utl::TUnitValue<double>& maximum);
int GetAxisLimits(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& minimum,
                  utl::TUnitValue<double>& maximum);
// Checks both (finite, minimum not above maximum), then writes the minimum first; the
// maximum only when that succeeded (not atomic).
int SetAxisLimits(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& minimum,
                  const utl::TUnitValue<double>& maximum);
int SetAxisLimits(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& minimum,
                  const utl::TUnitValue<double>& maximum);
int GetCalibration(std::uint32_t stageID, int axis, utl::TUnitValue<double>& calibration);
int GetCalibration(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& calibration);
int SetCalibration(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& calibration);
int SetCalibration(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& calibration);
int GetAxisSpeed(std::uint32_t stageID, int axis, double& speed);
int GetAxisSpeed(std::uint32_t stageID, EAxisType type, double& speed);
int SetAxisSpeed(std::uint32_t stageID, int axis, double speed);
int SetAxisSpeed(std::uint32_t stageID, EAxisType type, double speed);
// The speed as a length per second (`perSecond` in mm means mm/s): the axis's "Speed", which is
// ticks per second in every shipped driver, converted through the axis's calibration (the length
// of one tick), as positions are. c_InvalidValue when the axis's calibration is no positive finite
// value with a unit, or when the speed given is of another kind than it (an angle for a length)
// or is not a positive finite number of ticks per second; `perSecond` is written only on c_OK.
int GetAxisSpeed(std::uint32_t stageID, int axis, utl::TUnitValue<double>& perSecond);
int GetAxisSpeed(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& perSecond);
int SetAxisSpeed(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& perSecond);
int SetAxisSpeed(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& perSecond);

} // namespace stg
