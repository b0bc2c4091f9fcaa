#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

// The flat API for X/Y tables with an optional Z drive: vectors whose components belong to the
// axis types eAxisX, eAxisY (and eAxisZ), with one unit for all components. No other axis is
// touched. Vectors come back in the unit of their X entry, Y and Z converted into it (an absent
// entry counts as 0 µm). Speeds and free-run values are bare vectors in the stage's speed unit.
// A failing query leaves the caller's vector unchanged; a stage ID without an active stage
// answers c_NoSuchStage (false for IsMovingXY/XYZ).

namespace stg {

using PositionsByType = std::map<EAxisType, utl::TUnitValue<double>>;

// Conversions; no stage is looked up unless an ID is given.
PositionsByType CvtVec2DToPosByType(const utl::TUnitValue<geo::CdVec2>& vec);
PositionsByType CvtVec3DToPosByType(const utl::TUnitValue<geo::CdVec3>& vec);
utl::TUnitValue<geo::CdVec2> CvtPosByTypeToVec2D(const PositionsByType& positions);
utl::TUnitValue<geo::CdVec3> CvtPosByTypeToVec3D(const PositionsByType& positions);
// Keyed by axis number: each axis's type on the stage decides its component (a later axis of the
// same type wins; an inactive stage gives type -1 for all, so the vector is 0 µm).
utl::TUnitValue<geo::CdVec2> CvtPosToVec2D(std::uint32_t stageID,
                                           const std::map<int, utl::TUnitValue<double>>& positions);
utl::TUnitValue<geo::CdVec3> CvtPosToVec3D(std::uint32_t stageID,
                                           const std::map<int, utl::TUnitValue<double>>& positions);
// Same length and order as the input; -1 elements where nothing is found or the stage is inactive.
std::vector<EAxisType> CvtAxesToAxisTypes(std::uint32_t stageID, const std::vector<int>& axes);
std::vector<int> CvtAxisTypesToAxes(std::uint32_t stageID, const std::vector<EAxisType>& types);

// `wait` true: returns once the stage stands at `position`; false: starts the move.
int MoveToXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& position, bool wait);
int MoveToXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& position, bool wait);
int GetPositionXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& position);
int GetPositionXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& position);
// Checks every pair (finite, minimum not above maximum), then writes the minima first,
// the maxima only when that succeeded (not atomic).
int SetAxisLimitsXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& minimum,
                    const utl::TUnitValue<geo::CdVec2>& maximum);
int SetAxisLimitsXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& minimum,
                     const utl::TUnitValue<geo::CdVec3>& maximum);
// Reads the minima, then the maxima; writes both outputs only when both reads succeeded.
int GetAxisLimitsXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& minimum,
                    utl::TUnitValue<geo::CdVec2>& maximum);
int GetAxisLimitsXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& minimum,
                     utl::TUnitValue<geo::CdVec3>& maximum);
int SetCalibrationXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& calibration);
int SetCalibrationXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& calibration);
int GetCalibrationXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& calibration);
int GetCalibrationXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& calibration);
bool IsMovingXY(std::uint32_t stageID);
bool IsMovingXYZ(std::uint32_t stageID);
int WaitForStopXY(std::uint32_t stageID, std::uint32_t timeoutMs);
int WaitForStopXYZ(std::uint32_t stageID, std::uint32_t timeoutMs);
int MoveFreeXY(std::uint32_t stageID, const geo::CdVec2& speeds);
int MoveFreeXYZ(std::uint32_t stageID, const geo::CdVec3& speeds);
int GetSpeedXY(std::uint32_t stageID, geo::CdVec2& speeds);
int GetSpeedXYZ(std::uint32_t stageID, geo::CdVec3& speeds);
int SetSpeedXY(std::uint32_t stageID, const geo::CdVec2& speeds);
int SetSpeedXYZ(std::uint32_t stageID, const geo::CdVec3& speeds);

} // namespace stg
