#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include <plinth/CBaseStageML.h>

namespace stg {

class CMoveWatcher;
namespace detail {
class CStageConfig;
}

// The medium-level stage over one low-level stage: refuses movements of disabled axes
// (c_AxisDisabled), of axes without defined limits outside limit-setting mode
// (c_LimitsNotDefined) and to targets outside the limits (c_TargetOutOfRange) before they reach
// the driver, and caches positions per axis so that GetPosition answers without the driver when
// nothing can have moved the axes since the last reading.
//
// Any thread may call. The cache has its own short-held lock, never held while calling into the
// stage; a position read that overlaps a move does not cache what it read. The checks answer from
// the stage's configuration snapshot (Config), which the stage lock guards.
//
// A move's validation and the driver call it guards are one step under the stage lock, so the
// target that was checked against the limits in force is the target the driver gets; an emulated
// move's worker checks again, under the lock, right before it calls the driver.
//
// Every accepted move, blocking move and free run raises the move events (started, position
// samples, finished) through a CMoveWatcher, on the watcher's thread.
class CMediumLevelStage : public CBaseStageML {
public:
    // Every axis of the stage starts with its re-read mark set and cached position 0.
    explicit CMediumLevelStage(CLowLevelStage& stage);
    ~CMediumLevelStage() override;

    bool IsMoving(const Axes& axes) override;                            // false when the check fails
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

    // The stage's configuration snapshot, brought up to date (see detail::CStageConfig), for
    // the stage access and this object. Expects `held` to hold this stage's lock; valid while it
    // does.
    const detail::CStageConfig& Config(const CLowLevelStage::CHold& held) const;

protected:
    // May the listed axes move at all: enabled, and limits defined unless in limit-setting mode.
    // The first failing axis decides.
    int checkIfValidMovement(const Axes& axes) const;
    // Additionally: is every target within its axis's limits (both limits allowed); axes in
    // limit-setting mode are not bounded.
    int checkIfValidMovement(const TickMap& targets) const;
    // The target check on a stage, from a snapshot read now, for the worker of an emulated move
    // (which outlives nothing of this object). The caller holds the stage lock when the answer
    // must still hold at the driver call.
    static int CheckTargets(CLowLevelStage& stage, const TickMap& targets);

private:
    struct tCachedAxis {
        bool reread = false;    // the cached position may be out of date: ask the driver
        std::int64_t ticks = 0; // the last position read from the driver while not moving
    };

    // Sets the re-read mark of every axis among `keys` (a list of axes or a map keyed by axis).
    template <class Keys>
    void MarkForReread(const Keys& keys);

    std::unique_ptr<detail::CStageConfig> m_config; // guarded by the stage lock
    mutable std::mutex m_cacheLock;                 // guards m_cache and m_marks (held for a look-up or a mark)
    std::map<int, tCachedAxis> m_cache;
    std::uint64_t m_marks = 0; // how often axes were marked, to spot a move during a driver read
    // Made in the constructor, retired first in the destructor. Shared with the watcher's thread,
    // which may outlive this object when a subscriber on that thread retired the stage.
    std::shared_ptr<CMoveWatcher> m_watcher;
};

} // namespace stg
