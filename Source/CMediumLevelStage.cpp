#include <plinth/CMediumLevelStage.h>

#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>

#include "CMoveWatcher.h"
#include "MapKeys.h"

namespace stg {
using detail::KeysOf;

CMediumLevelStage::CMediumLevelStage(CLowLevelStage& stage) : CBaseStageML(stage, &CMediumLevelStage::CheckTargets)
{
    for (int axis : stage.GetAxisList())
        m_cache[axis].reread = true;
    m_watcher = std::make_shared<CMoveWatcher>(*this);
}

CMediumLevelStage::~CMediumLevelStage() { m_watcher->Retire(); }

int CMediumLevelStage::CheckAxis(CLowLevelStage& stage, const CLowLevelStage::CHold& held, int axis)
{
    bool enabled = false;
    const int rc = stg::ReadAxisProperty(stage, held, axis, c_propAxisEnabled, enabled);
    if (rc != c_OK)
        return rc;
    if (!enabled)
        return c_AxisDisabled;
    bool settingLimits = false;
    stg::ReadAxisProperty(stage, held, axis, c_propModeSetLimit, settingLimits);
    if (!settingLimits && !stage.AreLimitsDefined(held, &axis))
        return c_LimitsNotDefined;
    return c_OK;
}

// Each check's reads run under one hold of the stage lock (recursive: the callers that must keep
// the answer valid until their driver call hold it already).

int CMediumLevelStage::CheckAxes(CLowLevelStage& stage, const Axes& axes)
{
    const CLowLevelStage::CHold held(stage);
    for (int axis : axes) {
        const int rc = CheckAxis(stage, held, axis);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CMediumLevelStage::CheckTargets(CLowLevelStage& stage, const TickMap& targets)
{
    const CLowLevelStage::CHold held(stage);
    // First may every axis move at all, then is every target within its limits.
    for (const auto& entry : targets) {
        const int rc = CheckAxis(stage, held, entry.first);
        if (rc != c_OK)
            return rc;
    }
    for (const auto& [axis, target] : targets) {
        bool settingLimits = false;
        if (stg::ReadAxisProperty(stage, held, axis, c_propModeSetLimit, settingLimits) == c_OK && settingLimits)
            continue;
        std::int64_t lower = 0, upper = 0;
        const int rc = stage.GetAxisLimits(held, axis, lower, upper);
        if (rc != c_OK)
            return rc;
        if (target > upper || target < lower)
            return c_TargetOutOfRange;
    }
    return c_OK;
}

int CMediumLevelStage::checkIfValidMovement(const Axes& axes) const { return CheckAxes(GetLowLevel(), axes); }

int CMediumLevelStage::checkIfValidMovement(const TickMap& targets) const
{
    return CheckTargets(GetLowLevel(), targets);
}

template <class Keys>
void CMediumLevelStage::MarkForReread(const Keys& keys)
{
    std::lock_guard<utl::CShortLock> lock(m_cacheLock);
    ++m_marks;
    for (const auto& key : keys)
        m_cache[detail::KeyOf(key)].reread = true;
}

bool CMediumLevelStage::IsMoving(const Axes& axes)
{
    if (checkIfValidMovement(axes) != c_OK)
        return false;
    return MovingCheck(axes);
}

int CMediumLevelStage::WaitForStop(const Axes& axes, std::uint32_t timeoutMs)
{
    const int rc = checkIfValidMovement(axes);
    if (rc != c_OK)
        return rc;
    return CBaseStageML::WaitForStop(axes, timeoutMs);
}

int CMediumLevelStage::StopMoving() { return CBaseStageML::StopMoving(); }

// Each move below checks and calls the driver under one hold of the stage lock.

int CMediumLevelStage::MoveFree(const SpeedMap& directions)
{
    const Axes axes = KeysOf(directions);
    int moved = c_OK;
    {
        const tStageHold hold = LockStage();
        const int rc = checkIfValidMovement(axes);
        if (rc != c_OK)
            return rc;
        moved = CBaseStageML::MoveFree(directions);
    }
    MarkForReread(directions);
    if (moved == c_OK)
        m_watcher->Started(axes, false);
    return moved;
}

int CMediumLevelStage::MoveToPos(const TickMap& targets)
{
    int moved = c_OK;
    {
        const tStageHold hold = LockStage();
        const int rc = checkIfValidMovement(targets);
        if (rc != c_OK)
            return rc;
        moved = CBaseStageML::MoveToPos(targets);
    }
    MarkForReread(targets);
    if (moved == c_OK)
        m_watcher->Started(KeysOf(targets), false);
    return moved;
}

int CMediumLevelStage::SetPosition(const TickMap& targets)
{
    tStageHold hold = LockStage();
    const int rc = checkIfValidMovement(targets);
    if (rc != c_OK)
        return rc;
    const std::uint64_t watched = m_watcher->Started(KeysOf(targets), true);
    const int moved = BlockingMove(targets, hold.lock); // releases the lock before an emulated move's wait
    MarkForReread(targets);
    // Where the move ended: its targets when it arrived, otherwise read (a rare path).
    TickMap reached = targets;
    if (moved != c_OK && GetPosition(reached, eGivenAxes) != c_OK)
        reached.clear();
    m_watcher->Ended(watched, moved, reached);
    return moved;
}

int CMediumLevelStage::GetPosition(TickMap& positions, const ESelection& selection)
{
    // The axes concerned, walked in place: every axis of the stage, or the keys of the caller's
    // map (which the steps below never add to).
    const auto forEachAxis = [&](auto&& visit) {
        if (selection == eAllAxes) {
            GetLowLevel().ForEachAxis(visit);
        } else {
            for (const auto& entry : positions)
                visit(entry.first);
        }
    };

    bool marked = false;
    std::uint64_t marksBefore = 0;
    {
        // The checks, the cache and the user-control switch under one hold of the stage lock.
        CLowLevelStage& stage = GetLowLevel();
        const CLowLevelStage::CHold held(stage);
        int rc = c_OK;
        forEachAxis([&](int axis) {
            if (rc == c_OK)
                rc = CheckAxis(stage, held, axis);
        });
        if (rc != c_OK)
            return rc;
        {
            std::lock_guard<utl::CShortLock> lock(m_cacheLock);
            marksBefore = m_marks;
            forEachAxis([&](int axis) {
                const tCachedAxis& entry = m_cache[axis];
                marked = marked || entry.reread;
                positions[axis] = entry.ticks;
            });
        }
        // User control means hands may have moved the axes: then the driver is always asked.
        if (!marked && !stage.IsUserControlEnabled(held))
            return c_OK;
    }

    const bool moving = m_moving && IsMoving(selection == eAllAxes ? GetAxisList() : KeysOf(positions));
    const int rc = GetLowLevel().GetPosition(positions, selection);
    if (rc == c_OK && !moving) {
        std::lock_guard<utl::CShortLock> lock(m_cacheLock);
        // A move marked since the cache was looked at may have come during the read: then what
        // was read is not kept, and the next read asks the driver again.
        if (m_marks == marksBefore) {
            forEachAxis([&](int axis) {
                tCachedAxis& entry = m_cache[axis];
                entry.reread = false;
                entry.ticks = positions[axis];
            });
        }
    }
    return rc;
}

int CMediumLevelStage::GotoLowerLimit(const Axes& axes)
{
    MarkForReread(axes);
    return CBaseStageML::GotoLowerLimit(axes);
}

int CMediumLevelStage::GotoUpperLimit(const Axes& axes)
{
    MarkForReread(axes);
    return CBaseStageML::GotoUpperLimit(axes);
}

int CMediumLevelStage::InitRanges(const Axes& axes)
{
    MarkForReread(axes);
    return GetLowLevel().InitRanges(axes);
}

} // namespace stg
