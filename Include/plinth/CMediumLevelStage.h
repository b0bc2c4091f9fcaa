#pragma once

#include <cstdint>
#include <map>

#include <plinth/CBaseStageML.h>

namespace stg {

// The medium-level stage over one low-level stage: refuses movements of disabled axes
// (c_AxisDisabled), of axes without defined limits outside limit-setting mode
// (c_LimitsNotDefined) and to targets outside the limits (c_TargetOutOfRange) before they reach
// the driver, and caches positions per axis so that GetPosition answers without the driver when
// nothing can have moved the axes since the last reading.
//
// Like its base it takes no lock: the cache is a plain member, used by the calling threads only
// (the worker of an emulated move never touches it). Callers that share one medium level between
// threads serialise their calls, as the flat API's users do.
class CMediumLevelStage : public CBaseStageML {
public:
    // Every axis of the stage starts with its re-read mark set and cached position 0.
    explicit CMediumLevelStage(CLowLevelStage& stage);
    ~CMediumLevelStage() override;

    bool IsMoving(const Axes& axes) override;                          // false when the check fails
    int WaitForStop(const Axes& axes, std::uint32_t timeoutMs) override; // list check first
    int StopMoving() override;
    int MoveFree(const SpeedMap& directions) override; // list check; marks the axes for re-reading
    int MoveToPos(const TickMap& targets) override;    // full check; marks the axes
    int SetPosition(const TickMap& targets) override;  // full check; marks the axes
    // Answers from the cache when no axis concerned is marked and user control is off; otherwise
    // reads the driver and, when the axes are not moving, caches what it read.
    int GetPosition(TickMap& positions, const ESelection& selection) override;
    int GotoLowerLimit(const Axes& axes) override; // marks the axes; no validation
    int GotoUpperLimit(const Axes& axes) override; // marks the axes; no validation
    int InitRanges(const Axes& axes) override;     // marks the axes; no validation

protected:
    // May the listed axes move at all: enabled, and limits defined unless in limit-setting mode.
    // The first failing axis decides.
    int checkIfValidMovement(const Axes& axes) const;
    // Additionally: is every target within its axis's limits (both limits allowed); axes in
    // limit-setting mode are not bounded.
    int checkIfValidMovement(const TickMap& targets) const;

private:
    void MarkForReread(const Axes& axes);

    std::map<int, bool> m_reread;       // true: the cached position may be out of date
    std::map<int, std::int64_t> m_cache; // last position read while not moving
};

} // namespace stg
