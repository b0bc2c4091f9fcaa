#include <plinth/CMediumLevelStage.h>

#include <plinth/PropertyAccess.h>
#include <plinth/PropertyIDs.h>

#include "MapKeys.h"

namespace stg {
using detail::KeysOf;

CMediumLevelStage::CMediumLevelStage(CLowLevelStage& stage) : CBaseStageML(stage, &CMediumLevelStage::CheckTargets)
{
    for (int axis : stage.GetAxisList())
        m_cache[axis].reread = true;
}

CMediumLevelStage::~CMediumLevelStage() = default;

int CMediumLevelStage::CheckAxes(CLowLevelStage& stage, const Axes& axes)
{
    for (int axis : axes) {
        bool enabled = false;
        const int rc = stg::ReadAxisProperty(stage, axis, c_propAxisEnabled, enabled);
        if (rc != c_OK)
            return rc;
        if (!enabled)
            return c_AxisDisabled;
        bool settingLimits = false;
        stg::ReadAxisProperty(stage, axis, c_propModeSetLimit, settingLimits);
        if (!settingLimits && !stage.AreLimitsDefined(&axis))
            return c_LimitsNotDefined;
    }
    return c_OK;
}

int CMediumLevelStage::CheckTargets(CLowLevelStage& stage, const TickMap& targets)
{
    int rc = CheckAxes(stage, KeysOf(targets));
    if (rc != c_OK)
        return rc;
    for (const auto& [axis, target] : targets) {
        bool settingLimits = false;
        if (stg::ReadAxisProperty(stage, axis, c_propModeSetLimit, settingLimits) == c_OK && settingLimits)
            continue;
        std::int64_t lower = 0, upper = 0;
        rc = stage.GetAxisLimits(axis, lower, upper);
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

void CMediumLevelStage::MarkForReread(const Axes& axes)
{
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    for (int axis : axes) {
        tCachedAxis& entry = m_cache[axis];
        entry.reread = true;
        ++entry.marks;
    }
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
    MarkForReread(axes);
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
    MarkForReread(KeysOf(targets));
    return moved;
}

int CMediumLevelStage::SetPosition(const TickMap& targets)
{
    tStageHold hold = LockStage();
    const int rc = checkIfValidMovement(targets);
    if (rc != c_OK)
        return rc;
    const int moved = BlockingMove(targets, hold.lock); // releases the lock before an emulated move's wait
    MarkForReread(KeysOf(targets));
    return moved;
}

int CMediumLevelStage::GetPosition(TickMap& positions, const ESelection& selection)
{
    const Axes axes = selection == eAllAxes ? GetAxisList() : KeysOf(positions);
    int rc = checkIfValidMovement(axes);
    if (rc != c_OK)
        return rc;

    bool marked = false;
    std::map<int, std::uint64_t> marksBefore;
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        for (int axis : axes) {
            const tCachedAxis& entry = m_cache[axis];
            marked = marked || entry.reread;
            positions[axis] = entry.ticks;
            marksBefore[axis] = entry.marks;
        }
    }
    // User control means hands may have moved the axes: then the driver is always asked.
    if (!marked && !IsUserControlEnabled())
        return c_OK;

    const bool moving = m_moving && IsMoving(axes);
    rc = GetLowLevel().GetPosition(positions, selection);
    if (rc == c_OK && !moving) {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        for (int axis : axes) {
            tCachedAxis& entry = m_cache[axis];
            if (entry.marks != marksBefore[axis])
                continue; // marked by a move that came during the read: keep asking
            entry.reread = false;
            entry.ticks = positions[axis];
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
