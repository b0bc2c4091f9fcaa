#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include <plinth/CMediumLevelStage.h>
#include <plinth/detail/CLibraryLock.h>
#include <plinth/driver/StageTypes.h>

namespace stg {

// Precision mode of one stage: two corrections between the stage access object's tick positions
// and the medium level.
// - X/Y non-orthogonality ("NonOrthoEnable", "AngleXY" in degrees): positions read are turned
//   into orthogonal coordinates, targets back into stage coordinates.
// - Software backlash ("BacklashEnable" on, "UseHWBacklash" off): the direction of each axis's
//   last move is recorded; while it is negative, targets are lowered by the axis's "OffsetSWBL"
//   and positions read are raised by it, so a read after a move down gives back the target.
// Every property is read at every use. Maps are ticks keyed by axis number, in the caller's
// (orthogonal, backlash-free) coordinates.
//
// Every operation reads the positions of all axes of the stage first (the medium level's read
// with eAllAxes, which checks every axis as a move would). So while any axis is disabled, or an
// enabled one has no limits outside limit-setting mode, every precision read and move answers
// that axis's c_AxisDisabled or c_LimitsNotDefined and nothing moves, whichever axes were asked.
//
// Locking: each public operation holds this object's recursive lock for its whole run, so the
// precision reads and moves of a stage are serialised; the order is always this lock first, then
// the low-level stage's. A blocking SetPosition holds it for the whole move; stops do not take it
// (CStageAccess::StopMoving goes straight to the medium level). Stage events fired meanwhile reach
// their subscribers only after this lock is released too.
class CPrecision {
public:
    using TickMap = CBaseStageML::TickMap;

    explicit CPrecision(CMediumLevelStage& medium);
    virtual ~CPrecision();
    CPrecision(const CPrecision&) = delete;
    CPrecision& operator=(const CPrecision&) = delete;

    // Corrected positions: every reported axis with eAllAxes; otherwise the keys already in
    // `positions` (0 for an axis the stage does not report). The medium level's answer; on a
    // failure `positions` is untouched.
    int GetPosition(TickMap& positions, const ESelection& selection);
    // Starts a move to the corrected targets. With the X/Y correction on, an "AngleXY" that is
    // not finite is refused (c_InvalidValue) first; then a failing position read is answered; in
    // both cases nothing moves.
    int MoveToPos(const TickMap& targets);
    // The blocking move: every reported axis is passed down, the named ones with their targets,
    // the others where they stand. Refuses as MoveToPos does.
    int SetPosition(const TickMap& targets);

protected:
    bool isSWBacklashActive() const;
    TickMap addBacklashOffset(const TickMap& positions);
    TickMap cvtStageToOrtho(const TickMap& stage) const;
    TickMap cvtOrthoToStage(const TickMap& ortho) const;
    int readPosition(TickMap& positions, const ESelection& selection); // expects the lock held
    // The targets `to` lowered where the axis's recorded direction is negative; with `record` the
    // directions from `from` to `to` are recorded first (a zero difference keeps the old one).
    TickMap applyBacklash(const TickMap& from, const TickMap& to, bool record);

    // The recorded direction of the axis (0 when none; a look-up adds the entry).
    std::int32_t Direction(int axis);

private:
    using Lock = CLibraryLock;

    // The X/Y transform shared by the two conversions; `toOrtho` chooses the direction.
    TickMap TransformXY(const TickMap& in, bool toOrtho) const;
    // The in-place forms of addBacklashOffset and of the X/Y correction: a map that no correction
    // touches is neither copied nor changed.
    void AddBacklashOffsetTo(TickMap& positions);
    void TransformXYIn(TickMap& positions, bool toOrtho) const;
    bool ReadStageBool(int propID, bool& value) const;
    // c_InvalidValue when the X/Y correction is on and "AngleXY" is not finite; else c_OK.
    int CheckAngle() const;

    CMediumLevelStage& m_medium;
    std::map<int, std::int32_t> m_directions;
    mutable std::recursive_mutex m_lock;
};

} // namespace stg
