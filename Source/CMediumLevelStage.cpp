#include <plinth/CMediumLevelStage.h>

#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>

#include "CMoveWatcher.h"
#include "CStageConfig.h"
#include "MapKeys.h"

namespace stg {
using detail::KeysOf;

CMediumLevelStage::CMediumLevelStage(CLowLevelStage& stage)
    : CBaseStageML(stage, &CMediumLevelStage::CheckTargets), m_config(std::make_unique<detail::CStageConfig>())
{
    for (int axis : stage.GetAxisList())
        m_cache[axis].reread = true;
    m_watcher = std::make_shared<CMoveWatcher>(*this);
}

CMediumLevelStage::~CMediumLevelStage() { m_watcher->Retire(); }

const detail::CStageConfig& CMediumLevelStage::Config(const CLowLevelStage::CHold& held) const
{
    return m_config->Current(GetLowLevel(), held);
}

int CMediumLevelStage::CheckTargets(CLowLevelStage& stage, const TickMap& targets)
{
    // The worker's check outlives this object: a snapshot of its own, read now.
    const CLowLevelStage::CHold held(stage);
    detail::CStageConfig config;
    return config.Current(stage, held).CheckTargets(targets);
}

// Each check runs under one hold of the stage lock (recursive: the callers that must keep the
// answer valid until their driver call hold it already).

int CMediumLevelStage::checkIfValidMovement(const Axes& axes) const
{
    const CLowLevelStage::CHold held(GetLowLevel());
    const detail::CStageConfig& config = Config(held);
    for (int axis : axes) {
        const int rc = config.Check(axis);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CMediumLevelStage::checkIfValidMovement(const TickMap& targets) const
{
    const CLowLevelStage::CHold held(GetLowLevel());
    return Config(held).CheckTargets(targets);
}

template <class Keys>
void CMediumLevelStage::MarkForReread(const Keys& keys)
{
    std::lock_guard<std::mutex> lock(m_cacheLock);
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
        const detail::CStageConfig& config = Config(held);
        int rc = c_OK;
        forEachAxis([&](int axis) {
            if (rc == c_OK)
                rc = config.Check(axis);
        });
        if (rc != c_OK)
            return rc;
        {
            std::lock_guard<std::mutex> lock(m_cacheLock);
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
        std::lock_guard<std::mutex> lock(m_cacheLock);
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
