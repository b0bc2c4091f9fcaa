#include <plinth/CBaseStageML.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <system_error>

#include <plinth/detail/CEventDeferral.h>
#include <plinth/driver/PropertyIDs.h>

#include "CMoveWorker.h"
#include "MapKeys.h"
#include "SettingValues.h"
#include "TickMath.h"

namespace stg {

using detail::KeysOf;

CBaseStageML::CBaseStageML(CLowLevelStage& stage, MoveCheck workerCheck) : m_stage(stage), m_workerCheck(workerCheck) {}

CBaseStageML::tStageHold CBaseStageML::LockStage() const { return {CEventDeferral(), StageLock(m_stage.m_lock)}; }

CBaseStageML::~CBaseStageML()
{
    // No other thread uses the object any more. Once the worker's move holds the stage lock it
    // keeps the stage alive until the move is over (the owner's Exit waits for the lock), so the
    // worker may be let go. Until then it would still reach for the stage: wait for that moment,
    // which comes as soon as the stage lock is free. On the worker's own thread (a subscriber of
    // its events retired the stage) nothing runs until it returns: a move still in the mailbox
    // is dropped with the stage.
    if (!m_worker)
        return;
    if (m_worker->IsOwnThread()) {
        m_worker->Retire(true);
        return;
    }
    if (m_recorded != 0)
        m_worker->WaitLocked(m_recorded);
    m_worker->Retire(false);
}

bool CBaseStageML::HasWorker() const
{
    std::lock_guard<std::mutex> lock(m_workerMutex);
    return m_recorded != 0;
}

int CBaseStageML::GetLastEmulatedMoveResult() const
{
    std::shared_ptr<detail::CMoveWorker> worker;
    std::uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_recorded == 0)
            return m_lastResult;
        worker = m_worker;
        number = m_recorded;
    }
    return worker->Result(number);
}

// Moving and waiting

bool CBaseStageML::MovingCheck(const Axes& axes)
{
    const bool moving = HasWorker() ? WaitForStop(axes, 0) == c_Timeout : m_stage.IsMoving(axes);
    if (!moving)
        m_moving = false;
    return moving;
}

bool CBaseStageML::IsMoving(const Axes& axes) { return MovingCheck(axes); }

int CBaseStageML::WaitForStop(const Axes& axes, std::uint32_t timeoutMs)
{
    const int rc = m_stage.WaitForStop(axes, timeoutMs);
    if (rc != c_NotImplemented)
        return rc;
    std::shared_ptr<detail::CMoveWorker> worker;
    std::uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_recorded == 0)
            return c_NotImplemented;
        worker = m_worker;
        number = m_recorded;
    }
    if (!worker->WaitFinished(number, timeoutMs))
        return c_Timeout;
    {
        // The record goes with its outcome, unless another waiter let it go first.
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_worker == worker && m_recorded == number) {
            m_recorded = 0;
            m_lastResult = worker->Result(number);
        }
    }
    m_moving = false;
    return c_OK;
}

int CBaseStageML::StopMoving()
{
    const int rc = m_stage.StopMoving();
    m_moving = false;
    return rc;
}

// Moves

int CBaseStageML::MoveToPos(const TickMap& targets)
{
    const std::uint64_t stopCount = m_stage.GetStopCount(); // a stop after this ends the move
    int rc = m_stage.MoveToPos(targets);
    if (rc == c_OK)
        m_moving = true;
    if (rc != c_NotImplemented)
        return rc;

    // One thread at a time starts an emulated move; another that comes meanwhile is told the
    // stage is busy rather than made to wait (it might hold the stage lock the starter needs).
    std::unique_lock<std::mutex> starting(m_startMutex, std::try_to_lock);
    if (!starting.owns_lock())
        return c_Busy;
    if (HasWorker()) {
        rc = WaitForStop(KeysOf(targets), 0);
        if (rc == c_NotImplemented && !HasWorker())
            rc = c_OK; // another thread saw the move end and released it meanwhile
        if (rc == c_Timeout)
            return c_Busy;
        if (rc != c_OK)
            return rc;
    }
    // The last move has finished, so the worker's mailbox is empty.
    try {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_worker && m_worker->IsOwnThread()) {
            // A subscriber of the last move's events starts the next one on the worker's thread:
            // a new worker takes it, so that the subscriber may also wait for it.
            m_worker->Retire(false);
            m_worker.reset();
        }
        if (!m_worker)
            m_worker = detail::CMoveWorker::Start();
        m_recorded = m_worker->Post({&m_stage, targets, m_workerCheck, stopCount});
    } catch (const std::system_error&) {
        return c_GeneralFailure; // no thread could be started
    }
    m_moving = true;
    return c_OK;
}

int CBaseStageML::SetPosition(const TickMap& targets)
{
    StageLock notHeld(m_stage.m_lock, std::defer_lock);
    return BlockingMove(targets, notHeld);
}

int CBaseStageML::BlockingMove(const TickMap& targets, StageLock& held)
{
    const std::uint64_t stopCount = m_stage.GetStopCount();
    int rc = m_stage.SetPosition(targets);
    if (rc != c_NotImplemented)
        return rc;
    rc = m_stage.MoveToPos(targets);
    if (held.owns_lock())
        held.unlock();
    if (rc != c_OK)
        return rc;
    rc = CBaseStageML::WaitForStop(KeysOf(targets), c_waitForever);
    // The axes are at rest either way; a stop since the start means they are not at the targets.
    return rc == c_OK && m_stage.GetStopCount() != stopCount ? c_Stopped : rc;
}

int CBaseStageML::LimitsInForce(int axis, bool& inForce, std::int64_t& lower, std::int64_t& upper)
{
    inForce = false;
    bool settingLimits = false;
    ReadAxisProperty(axis, c_propModeSetLimit, settingLimits);
    if (settingLimits || !m_stage.AreLimitsDefined(&axis))
        return c_OK;
    const int rc = m_stage.GetAxisLimits(axis, lower, upper);
    inForce = rc == c_OK;
    return rc; // defined but unreadable: nothing may run on that axis
}

int CBaseStageML::StartMoveAtSpeed(const TickMap& targets, const SpeedMap& speeds)
{
    int rc = m_stage.MoveToPosAtSpeed(targets, speeds);
    if (rc == c_OK)
        m_moving = true;
    if (rc != c_NotImplemented)
        return rc;
    rc = CBaseStageML::MoveToPos(targets); // at the axes' "Speed"
    if (rc == c_Busy) {
        rc = m_stage.StopMoving();
        m_moving = false;
        if (rc == c_OK)
            rc = CBaseStageML::MoveToPos(targets);
    }
    if (rc == c_OK)
        m_moving = true;
    return rc;
}

int CBaseStageML::MoveFree(const SpeedMap& speeds)
{
    // The speed and limit checks, the choice between the driver's free run and a move to the
    // limits, and the driver call are one step under the stage lock.
    tStageHold hold = LockStage();
    SpeedMap magnitudes;
    TickMap targets; // the limit in force in the run's direction, for the axes that have one
    bool bounded = false;
    for (const auto& [axis, speed] : speeds) {
        magnitudes[axis] = std::abs(speed);
        int rc = m_stage.CheckSpeed(axis, magnitudes[axis]);
        if (rc != c_OK)
            return rc;
        bool inForce = false;
        std::int64_t lower = 0, upper = 0;
        rc = LimitsInForce(axis, inForce, lower, upper);
        if (rc != c_OK)
            return rc;
        if (inForce) {
            targets[axis] = speed > 0.0 ? upper : lower;
            bounded = true;
        }
    }

    int rc = c_NotImplemented;
    if (bounded && !m_stage.GetCaps().emulateFreeMove)
        return c_NotImplemented; // the driver's run may not be used, and no other is allowed
    if (!bounded) {
        // No limit binds: the driver's own free run goes on to the end switches.
        rc = m_stage.MoveFree(speeds);
        if (rc == c_OK)
            m_moving = true;
        if (rc != c_NotImplemented)
            return rc;
        if (!m_stage.GetCaps().emulateFreeMove)
            return c_NotImplemented;
    }

    const bool hadWorker = HasWorker();
    if (hadWorker) {
        Axes enabled;
        GetEnabledAxes(enabled);
        rc = CBaseStageML::WaitForStop(enabled, 0);
        if (rc == c_NotImplemented && !HasWorker())
            rc = c_OK; // another thread saw the worker end and released it meanwhile
        if (rc == c_Timeout)
            return c_Busy;
        if (rc != c_OK)
            return rc;
    }

    // An axis without limits in force runs a fixed step from where it stands (it is in
    // limit-setting mode: a validated run never has an axis without limits otherwise).
    for (const auto& [axis, speed] : speeds) {
        if (targets.count(axis))
            continue;
        bool settingLimits = false;
        ReadAxisProperty(axis, c_propModeSetLimit, settingLimits);
        if (!settingLimits)
            return c_LimitsNotDefined;
        TickMap position{{axis, 0}};
        rc = m_stage.GetPosition(position, eGivenAxes);
        if (rc != c_OK)
            return rc;
        const std::int64_t step = m_stage.GetAxisType(axis) == eAxisZ ? c_freeRunStepZ : c_freeRunStep;
        targets[axis] = detail::AddTicks(position[axis], speed > 0.0 ? step : -step);
    }
    if (speeds.empty() && !hadWorker)
        return c_NotImplemented;
    return StartMoveAtSpeed(targets, magnitudes);
}

int CBaseStageML::RunToLimit(const Axes& axes, int (CLowLevelStage::*driverRun)(const Axes&), std::int64_t farTarget)
{
    // The far target finds the end switch. An axis whose limits are in force (defined, and the
    // axis not in limit-setting mode) runs to its limit instead, and the driver's own run, which
    // would go on to the end switch, is not used then; the targets are read and sent under one
    // hold of the stage lock.
    tStageHold hold = LockStage();
    TickMap targets;
    bool bounded = false;
    for (int axis : axes) {
        targets[axis] = farTarget;
        bool inForce = false;
        std::int64_t lower = 0, upper = 0;
        const int rc = LimitsInForce(axis, inForce, lower, upper);
        if (rc != c_OK)
            return rc;
        if (inForce) {
            targets[axis] = farTarget < 0 ? lower : upper;
            bounded = true;
        }
    }
    if (!bounded) {
        const int rc = (m_stage.*driverRun)(axes);
        if (rc != c_NotImplemented)
            return rc;
    }
    if (MovingCheck(axes))
        return c_Busy;
    return BlockingMove(targets, hold.lock);
}

int CBaseStageML::GotoLowerLimit(const Axes& axes)
{
    return RunToLimit(axes, &CLowLevelStage::GotoLowerLimit, c_lowerLimitRunTarget);
}

int CBaseStageML::GotoUpperLimit(const Axes& axes)
{
    return RunToLimit(axes, &CLowLevelStage::GotoUpperLimit, c_upperLimitRunTarget);
}

int CBaseStageML::GetPosition(TickMap& positions, const ESelection& selection)
{
    return m_stage.GetPosition(positions, selection);
}

int CBaseStageML::InitRanges(const Axes& axes) { return m_stage.InitRanges(axes); }

// Axis queries

int CBaseStageML::GetEnabledAxes(Axes& axes) const
{
    axes.clear();
    int rc = c_GeneralFailure;
    for (int axis : m_stage.GetAxisList()) {
        bool enabled = false;
        rc = ReadAxisProperty(axis, c_propAxisEnabled, enabled);
        if (rc != c_OK)
            return rc;
        if (enabled)
            axes.push_back(axis);
    }
    return rc;
}

int CBaseStageML::GetAxisFromType(EAxisType type) const
{
    const CLowLevelStage::CHold held(m_stage);
    return GetAxisFromType(held, type);
}

int CBaseStageML::GetAxisFromType(const CLowLevelStage::CHold& held, EAxisType type) const
{
    // Walks the stage's axes in place, as GetAxisList would copy them.
    int found = -1;
    bool done = false;
    m_stage.ForEachAxis([&](int axis) {
        if (done)
            return;
        std::int32_t axisType = eAxisNone;
        if (stg::ReadAxisProperty(m_stage, held, axis, c_propAxisType, axisType) != c_OK) {
            done = true; // answers -1
        } else if (axisType == type) {
            found = axis;
            done = true;
        }
    });
    return found;
}

int CBaseStageML::GetCalibration(CalibrationMap& calibration, const ESelection& selection) const
{
    if (selection == eAllAxes) {
        calibration.clear();
        for (int axis : m_stage.GetAxisList())
            calibration[axis].SetValue(0.0);
    }
    if (calibration.empty())
        return c_GeneralFailure;
    int rc = c_OK;
    for (auto& [axis, entry] : calibration)
        rc = ReadAxisProperty(axis, c_propCalibration, entry); // a failed read keeps the entry
    return rc;
}

int CBaseStageML::GetCalibration(const CLowLevelStage::CHold& held, int axis,
                                 utl::TUnitValue<double>& calibration) const
{
    return stg::ReadAxisProperty(m_stage, held, axis, c_propCalibration, calibration);
}

int CBaseStageML::SetCalibration(const CalibrationMap& calibration) const
{
    if (calibration.empty())
        return c_GeneralFailure;
    for (const auto& entry : calibration)
        if (!detail::IsFinite(entry.second))
            return c_InvalidValue; // nothing written
    // Zero, negative, and for a linear axis anything but a length (checked again per write).
    for (const auto& [axis, entry] : calibration)
        if (!detail::IsValidCalibration(m_stage.GetAxisType(axis), entry))
            return c_InvalidValue;
    int rc = c_OK;
    for (const auto& [axis, entry] : calibration) {
        rc = WriteAxisProperty(m_stage, axis, c_propCalibration, entry);
        if (rc != c_OK)
            break;
    }
    return rc;
}

// Forwarding

bool CBaseStageML::AreLimitsDefined(const int* axis) const { return m_stage.AreLimitsDefined(axis); }
int CBaseStageML::UndefineLimits(const Axes& axes) { return m_stage.UndefineLimits(axes); }
bool CBaseStageML::CheckConnection() { return m_stage.CheckConnection(); }
int CBaseStageML::GetAxisCount() const { return static_cast<int>(m_stage.GetAxisCount()); }
EAxisType CBaseStageML::GetAxisType(const int& axis) const { return m_stage.GetAxisType(axis); }
int CBaseStageML::EnableUserControl(bool enable) { return m_stage.EnableUserControl(enable); }
bool CBaseStageML::IsUserControlEnabled() const { return m_stage.IsUserControlEnabled(); }
int CBaseStageML::SetAxisLimits(const int& axis, std::int64_t lower, std::int64_t upper)
{
    return m_stage.SetAxisLimits(axis, lower, upper);
}
int CBaseStageML::GetAxisLimits(const int& axis, std::int64_t& lower, std::int64_t& upper) const
{
    return m_stage.GetAxisLimits(axis, lower, upper);
}
int CBaseStageML::GetSpeeds(SpeedMap& speeds, const ESelection& selection) const
{
    return m_stage.GetSpeeds(speeds, selection);
}
int CBaseStageML::SetSpeeds(const SpeedMap& speeds) { return m_stage.SetSpeeds(speeds); }
int CBaseStageML::SetAdvancedSpeed(const int& mode) { return m_stage.SetAdvancedSpeed(mode); }
int CBaseStageML::GetPropertyVessel(const int& axis, const int& propID, mem::CBin& value) const
{
    return m_stage.GetPropertyVessel(axis, propID, value);
}
int CBaseStageML::SetPropertyVessel(const int& axis, const int& propID, const mem::CBin& value)
{
    return m_stage.SetPropertyVessel(axis, propID, value);
}
int CBaseStageML::GetPropertyVessel(const int& propID, mem::CBin& value) const
{
    return m_stage.GetPropertyVessel(propID, value);
}
void CBaseStageML::SetPropertyVessel(const int& propID, const mem::CBin& value)
{
    m_stage.SetPropertyVessel(propID, value);
}
std::vector<int> CBaseStageML::GetAxisList() const { return m_stage.GetAxisList(); }

} // namespace stg
