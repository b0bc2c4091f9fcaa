#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <plinth/StageTypes.h>
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

#define PLINTH_DECLARE_VECTOR_FUNCTIONS(SUFFIX, V)                                                              \
    /* `wait` true: returns once the stage stands at `position`; false: starts the move. */                     \
    int MoveTo##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& position, bool wait);                   \
    int GetPosition##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& position);                               \
    /* Checks every pair (finite, minimum not above maximum), then writes the minima first, */                  \
    /* the maxima only when that succeeded (not atomic). */                                                     \
    int SetAxisLimits##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& minimum,                         \
                              const utl::TUnitValue<V>& maximum);                                               \
    /* Reads the minima, then the maxima; writes both outputs only when both reads succeeded. */                \
    int GetAxisLimits##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& minimum, utl::TUnitValue<V>& maximum); \
    int SetCalibration##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& calibration);                   \
    int GetCalibration##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& calibration);                         \
    bool IsMoving##SUFFIX(std::uint32_t stageID);                                                               \
    int WaitForStop##SUFFIX(std::uint32_t stageID, std::uint32_t timeoutMs);                                    \
    int MoveFree##SUFFIX(std::uint32_t stageID, const V& speeds);                                               \
    int GetSpeed##SUFFIX(std::uint32_t stageID, V& speeds);                                                     \
    int SetSpeed##SUFFIX(std::uint32_t stageID, const V& speeds);

PLINTH_DECLARE_VECTOR_FUNCTIONS(XY, geo::CdVec2)
PLINTH_DECLARE_VECTOR_FUNCTIONS(XYZ, geo::CdVec3)
#undef PLINTH_DECLARE_VECTOR_FUNCTIONS

} // namespace stg
