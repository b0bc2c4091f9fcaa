#pragma once

#include <cstdint>

// Z escape: moving the focus axis (the stage's axis of type eAxisZ) out of the way and back.
//
// An escape lowers Z towards its lower limit by the distance to the limit, at most 3000 µm, and
// remembers that distance; the matching return raises Z by it again, but stops 10 µm below the
// upper limit. Escapes nest per stage: only the outermost escape and the last return move, the
// calls in between only count (c_EscapeCounted). The moves are blocking moves of the stage access
// object in physical units, made as a walk of steps whose length a driver may limit with the Z
// axis property stg::c_propEscapeStep (ticks; each step is then shortened by 10 µm). Without it
// the walk is one move. A step that would not shorten the distance (10 µm or less, or not a
// number) makes the walk one move to the target as well, and so does a step so short that the
// walk would need more than c_maxEscapeSteps moves: a walk always ends.
//
// The escape state lives in a process-wide table without a lock: calls for one stage, and calls
// that add or remove records of stages, must not overlap.

namespace stg {

// The most moves one escape walk makes before it goes straight to its target.
inline constexpr int c_maxEscapeSteps = 1000;

// `escape` true escapes, false returns. Answers c_OK when the stage moved (or, on a stage whose
// Z axis does not allow escape, when nothing was to be done), c_EscapeCounted when only the count
// changed, c_NoEscapeToReturn for a return without an escape, c_NoSuchStage, c_AxisDisabled (Z
// not enabled), c_LimitsNotDefined (Z limits not defined, or Z in limit-setting mode), or the
// failure of a position read or move. A failed escape leaves the stage not escaped; a failed
// return leaves it escaped.
int EscapeZ(std::uint32_t stageID, bool escape);
// Whether the stage is escaped (an outermost escape not yet returned from).
bool IsEscapedZ(std::uint32_t stageID);
// Forgets the stage's escape state without moving anything (no check of the ID).
void ResetEscapeCounter(std::uint32_t stageID);
// "AllowEscape" of the Z axis; false when it cannot be read or the stage is not active.
bool IsEscapeEnabled(std::uint32_t stageID);

} // namespace stg
