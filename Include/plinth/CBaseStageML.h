#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <plinth/detail/CEventDeferral.h>
#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

namespace stg {

namespace detail {
class CMoveWorker;
}

// The base of the medium level: wraps one low-level stage and builds the movement operations a
// driver lacks (it answered c_NotImplemented) out of those it has:
// - an asynchronous MoveToPos from the blocking SetPosition, run on the object's worker thread
//   "StageML async move" (started with the first such move, ended with the object);
// - a blocking SetPosition from MoveToPos and a wait;
// - free runs and limit runs as moves to computed targets.
// Every other operation passes straight to the low-level stage; result codes travel up unchanged.
//
// Any thread may call; the worker record and the moving mark are guarded by the object's own
// short-held locks, never held while calling into the stage (the worker never touches this
// object at all: it owns its mailbox, which holds its own copy of each request). The low-level stage
// serialises the driver calls; an emulated move's worker holds the stage lock for its whole
// blocking move, so every other call on that stage (Exit included) waits for the move, except
// StopMoving on a driver with a concurrent stop (CLowLevelStage::EnableConcurrentStop): no lock
// of this object stands in a stop's way, and the worker's blocking move then ends early.
//
// An emulated move's worker, once it holds the stage lock and right before it calls the driver,
// runs the move check given at construction (the medium level's validation) on its targets, and
// does not start at all when a stop came after the move was accepted. Its outcome is kept:
// GetLastEmulatedMoveResult.
class CBaseStageML {
public:
    using Axes = CLowLevelStage::Axes;
    using TickMap = CLowLevelStage::TickMap;
    using SpeedMap = CLowLevelStage::SpeedMap;
    using CalibrationMap = std::map<int, utl::TUnitValue<double>>;

    // A time-out that waits without limit: the same value as stg::c_waitForever.
    static constexpr std::uint32_t c_waitForever = stg::c_waitForever;
    // Far targets of the emulated limit runs.
    static constexpr std::int64_t c_lowerLimitRunTarget = INT64_MIN / 2;
    static constexpr std::int64_t c_upperLimitRunTarget = INT32_MAX / 2;
    // Steps of an emulated free run of an axis in limit-setting mode, in ticks.
    static constexpr std::int64_t c_freeRunStepZ = 1'000'000;
    static constexpr std::int64_t c_freeRunStep = 20'000'000;

    CBaseStageML(const CBaseStageML&) = delete;
    CBaseStageML& operator=(const CBaseStageML&) = delete;
    // Does not wait for the worker's move: it waits only until that move holds the stage lock
    // (which it keeps until the move is over, so the stage's Exit waits for the move), then lets
    // the worker go, which ends after that move; the worker never touches this object. Do not
    // destroy a medium level while holding its stage's lock with a move still waiting for that
    // lock.
    virtual ~CBaseStageML();

    // Emulation-aware operations (see the source for each algorithm).
    // The moving check: a recorded worker is polled through WaitForStop(axes, 0), else the driver
    // is asked; the moving mark is narrowed to the answer.
    virtual bool IsMoving(const Axes& axes);
    // The driver's wait; when it lacks one (4003), waits up to `timeoutMs` for a recorded worker:
    // c_OK once it ended (the record is released), c_Timeout while it runs, c_NotImplemented
    // without a worker. A worker that ended counts as c_OK here however its move went: ask
    // GetLastEmulatedMoveResult for that.
    virtual int WaitForStop(const Axes& axes, std::uint32_t timeoutMs);
    virtual int StopMoving(); // clears the moving mark whatever the driver answers
    // Free run: the sign of each speed gives the direction, its magnitude the speed (driver
    // units). A magnitude that CLowLevelStage::CheckSpeed refuses (not finite, zero, outside
    // "SpeedMin".."SpeedMax") answers c_InvalidValue before anything reaches the driver. When any
    // axis has its limits in force (defined, not in limit-setting mode), the run is a started move
    // to the limit in force in its direction (upper for a positive speed) at the requested speeds
    // (the driver's MoveToPosAtSpeed; without it MoveToPos, at the axes' "Speed"), and the
    // driver's free run is not called; an axis in limit-setting mode among them moves a fixed
    // step from where it stands. Without limits in force the driver's free run; when it lacks
    // one, that step move. Both moves need the stage's emulateFreeMove capability: without it a
    // free run with limits in force answers c_NotImplemented. The checks and the
    // driver call run under one hold of the stage lock. c_Busy while an emulated move runs.
    virtual int MoveFree(const SpeedMap& speeds);
    // Starts a move and returns. Emulated by running SetPosition on the worker: c_OK once the
    // request is in the worker's mailbox (the worker is woken, not waited for), c_Busy while an
    // earlier emulated move still runs, c_GeneralFailure when no worker thread could be started.
    virtual int MoveToPos(const TickMap& targets);
    // Moves and returns when stopped. Emulated by MoveToPos and a wait without limit; c_Stopped
    // when StopMoving came during the emulated move.
    virtual int SetPosition(const TickMap& targets);
    virtual int GetPosition(TickMap& positions, const ESelection& selection);
    // The driver's run to the end switches while no listed axis has its limits in force;
    // otherwise, and when the driver lacks the run, a blocking move (at the axes' "Speed") to
    // c_lowerLimitRunTarget / c_upperLimitRunTarget, where an axis whose limits are in force
    // (defined, not in limit-setting mode) moves to that limit; c_Busy while moving.
    virtual int GotoLowerLimit(const Axes& axes);
    virtual int GotoUpperLimit(const Axes& axes);
    virtual int InitRanges(const Axes& axes);

    // Forwarded unchanged to the low-level stage.
    bool AreLimitsDefined(const int* axis) const;
    int UndefineLimits(const Axes& axes);
    bool CheckConnection();
    int GetAxisCount() const;
    EAxisType GetAxisType(const int& axis) const;
    int EnableUserControl(bool enable);
    bool IsUserControlEnabled() const;
    int SetAxisLimits(const int& axis, std::int64_t lower, std::int64_t upper);
    int GetAxisLimits(const int& axis, std::int64_t& lower, std::int64_t& upper) const;
    int GetSpeeds(SpeedMap& speeds, const ESelection& selection) const;
    int SetSpeeds(const SpeedMap& speeds);
    int SetAdvancedSpeed(const int& mode);
    int GetPropertyVessel(const int& axis, const int& propID, mem::CBin& value) const;
    int SetPropertyVessel(const int& axis, const int& propID, const mem::CBin& value);
    int GetPropertyVessel(const int& propID, mem::CBin& value) const;
    void SetPropertyVessel(const int& propID, const mem::CBin& value);
    std::vector<int> GetAxisList() const;

    // The axes whose "AxisEnabled" is true, ascending. c_GeneralFailure for a stage without axes;
    // the first failing read ends the walk with its answer.
    int GetEnabledAxes(Axes& axes) const;
    // The lowest-numbered axis of `type`; -1 when none, or when an "AxisType" read fails first.
    int GetAxisFromType(EAxisType type) const;
    int GetAxisFromType(const CLowLevelStage::CHold& held, EAxisType type) const; // under a hold
    // "Calibration" of the axes (all of them with eAllAxes, else the map's keys). c_GeneralFailure
    // for an empty map; otherwise the answer of the last read (a failed read keeps the entry).
    int GetCalibration(CalibrationMap& calibration, const ESelection& selection) const;
    // The same for one axis, under a hold of the stage lock: the read's answer; a failed read
    // keeps `calibration`.
    int GetCalibration(const CLowLevelStage::CHold& held, int axis, utl::TUnitValue<double>& calibration) const;
    // Writes "Calibration" of every entry through the vessel; stops at the first failure. A value
    // that is not finite, not positive, or (on an X, Y or Z axis) not a length is refused
    // (c_InvalidValue) before any is written.
    int SetCalibration(const CalibrationMap& calibration) const;

    CLowLevelStage& GetLowLevel() const noexcept { return m_stage; }
    // Whether an emulated move is recorded (it may have ended already).
    bool HasWorker() const;
    // The outcome of the last emulated move (a MoveToPos, or a free run, that a worker runs on a
    // driver without a started move), which MoveToPos and WaitForStop cannot tell:
    // - c_Busy while its worker has not ended;
    // - once it ended: the driver's answer to the blocking move (c_OK when it arrived, c_Stopped
    //   when StopMoving ended it), c_Stopped when a stop came before the worker began, the
    //   validation's code when the targets were no longer allowed at the moment of the driver
    //   call (limits or "AxisEnabled" changed meanwhile), c_GeneralFailure when the driver threw;
    // - c_OK when no emulated move has run yet.
    // Kept until the next emulated move starts. No stage lock: answers also during a move.
    int GetLastEmulatedMoveResult() const;

protected:
    // The check an emulated move's worker runs under the stage lock right before it calls the
    // driver; c_OK lets the move go. It must not use the medium level (which may be gone).
    using MoveCheck = int (*)(CLowLevelStage& stage, const TickMap& targets);
    using StageLock = std::unique_lock<std::recursive_mutex>;
    // A hold of the stage lock that BlockingMove may let go early. Events fired under it wait in
    // the thread's deferral, which closes after the lock is released: no subscriber runs under it.
    struct tStageHold {
        CEventDeferral deferral; // declared first: opened before the lock, closed after it
        StageLock lock;
    };

    explicit CBaseStageML(CLowLevelStage& stage, MoveCheck workerCheck = nullptr);

    // Takes the stage lock, so that a check and the driver call it guards are one step.
    tStageHold LockStage() const;
    // The blocking move of SetPosition. `held`, when it owns the stage lock, is released before
    // an emulated move's wait, so that the wait never keeps the lock from the move it waits for.
    int BlockingMove(const TickMap& targets, StageLock& held);

    // Reads an axis property of the stage (see stg::ReadAxisProperty).
    template <class T>
    int ReadAxisProperty(int axis, int propID, T& value) const
    {
        return stg::ReadAxisProperty(m_stage, axis, propID, value);
    }

    // The moving check of IsMoving and the limit runs.
    bool MovingCheck(const Axes& axes);
    // A limit run: the driver's, or (when it lacks one, or limits are in force) a blocking move of
    // the axes to `farTarget` or their limits in force.
    int RunToLimit(const Axes& axes, int (CLowLevelStage::*driverRun)(const Axes&), std::int64_t farTarget);

    // Whether the axis's limits are in force (both defined, not in limit-setting mode), and then
    // the limits, ticks. A failing limit read of an axis whose limits are defined is the answer.
    // Expects the stage lock held when the answer must hold until a driver call.
    int LimitsInForce(int axis, bool& inForce, std::int64_t& lower, std::int64_t& upper);
    // A started move of a free run: the driver's move at `speeds`, or (when it lacks one) MoveToPos,
    // stopping an emulated move that is still recorded once before it tries again.
    int StartMoveAtSpeed(const TickMap& targets, const SpeedMap& speeds);

    // True once a move started by this object was accepted; see the source for when it clears.
    std::atomic<bool> m_moving{false};

private:
    CLowLevelStage& m_stage;
    const MoveCheck m_workerCheck;
    // The locks below are never held while calling into the stage. m_workerMutex guards the
    // worker and the record; m_startMutex is held by the one thread that is starting an emulated
    // move.
    mutable std::mutex m_workerMutex;
    std::shared_ptr<detail::CMoveWorker> m_worker; // started with the first emulated move
    std::uint64_t m_recorded = 0;                  // the worker's number of the last move, 0: none
    int m_lastResult = c_OK;                       // of the last released move
    std::mutex m_startMutex;
};

} // namespace stg
