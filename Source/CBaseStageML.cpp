#include <plinth/CBaseStageML.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <pthread.h>

#include <plinth/CEventDeferral.h>
#include <plinth/PropertyIDs.h>
#include <utl/Thread.h>

#include "MapKeys.h"
#include "SettingValues.h"
#include "SpinWait.h"
#include "TickMath.h"

namespace stg {

using detail::KeysOf;

namespace {

constexpr std::uint32_t c_handoverTimeoutMs = 300;
constexpr const char* c_workerName = "StageML async move";
// How long a starter waits for a worker thread that is finishing its last move (delivering its
// events) to take the next one, before it gives the move to another thread.
constexpr std::uint32_t c_finishingTakeOverMs = 2;
// A worker thread without a move for this long ends (a stage that moves again starts another).
constexpr std::chrono::seconds c_idleLifetime{10};
// A worker thread watches its job slot this long after a move before it sleeps: the next move
// of a stage often follows at once, and a thread that is awake takes it within a microsecond,
// where waking a sleeping one costs tens of microseconds on an idle machine.
constexpr std::chrono::microseconds c_idleSpin{100};
// A caller waiting for a mark of a move (the hand-over, mostly) watches for it this long before
// it sleeps.
constexpr std::chrono::microseconds c_markSpin{50};

} // namespace

// One emulated move. Each move has its own state, so the acknowledgement of one move can never
// release the wait of another. The move request (stage and targets) is moved into the worker
// thread's job slot before the starting caller waits at all: it is the worker's own copy, and
// nothing the caller owns can go away under it, whenever the caller stops waiting.
struct CBaseStageML::tWorker {
    struct tState {
        std::mutex mutex;
        std::condition_variable changed;
        // Set under `mutex` (so that a waiter on `changed` never misses one), read without it by
        // a waiter that spins before it sleeps.
        std::atomic<bool> handedOver{false}; // the worker runs and holds its copy of the request
        std::atomic<bool> locked{false};     // the worker holds the stage lock
        std::atomic<bool> finished{false};   // the blocking move has returned
        int result = c_Busy;                 // the move's outcome, once finished; under `mutex`
    };
    using Mark = std::atomic<bool> tState::*;

    std::shared_ptr<tState> state = std::make_shared<tState>();

    static void Set(tState& state, Mark flag)
    {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            (state.*flag).store(true, std::memory_order_release);
        }
        state.changed.notify_all();
    }

    // The move, on a worker thread. It acknowledges before it takes the stage lock, so that a
    // caller who holds the lock itself (a driver calling back into its stage, say) can start a
    // move. From "locked" to "finished" it holds the lock: every call on the stage that comes
    // after (Exit, and so the stage's deletion, included) waits until the move is over, and sees
    // the worker finished. Under that lock the targets are checked again and the driver is called
    // in one step, so no limit or "AxisEnabled" change can come between them; a stop counted after
    // `stopCount` (when the move was accepted) ends the move before it begins.
    static void Run(CLowLevelStage& stage, const TickMap& targets, MoveCheck check, std::uint64_t stopCount,
                    const std::shared_ptr<tState>& state)
    {
        Set(*state, &tState::handedOver);
        // Events a driver fires during the move are delivered once the stage lock is released.
        CEventDeferral deferral(CEventDeferral::ESubscriberError::eDrop);
        std::unique_lock<std::recursive_mutex> stageLock(stage.m_lock);
        Set(*state, &tState::locked);
        int result = c_GeneralFailure;
        try {
            if (stage.GetStopCount() != stopCount)
                result = c_Stopped;
            else if (!check || (result = check(stage, targets)) == c_OK)
                result = stage.SetPositionSince(targets, stopCount);
        } catch (...) {
            // An exception must not leave a thread (std::terminate); it is kept as a failure.
            result = c_GeneralFailure;
        }
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->result = result;
        }
        Set(*state, &tState::finished);
    }

    int Result() const
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->finished ? state->result : c_Busy;
    }

    bool WaitFor(Mark flag, std::uint32_t timeoutMs)
    {
        const auto done = [&] {
            return ((*state).*flag).load(std::memory_order_acquire) || state->finished.load(std::memory_order_acquire);
        };
        const auto spin = std::min<std::chrono::nanoseconds>(c_markSpin, std::chrono::milliseconds(timeoutMs));
        if (timeoutMs != 0 && detail::SpinUntil(done, spin))
            return true;
        std::unique_lock<std::mutex> lock(state->mutex);
        if (timeoutMs == c_waitForever) {
            state->changed.wait(lock, done);
            return true;
        }
        return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
};

// A thread that runs a medium level's emulated moves, one at a time; it waits on its job slot
// between moves. Owned jointly by the medium level and the thread itself: the medium level may go
// while a move runs, and the thread then ends after that move, touching nothing but this object
// (and, during the move, the stage, which the move's hold of the stage lock keeps alive).
struct CBaseStageML::tWorkerThread {
    struct tJob {
        CLowLevelStage* stage = nullptr;
        TickMap targets;
        MoveCheck check = nullptr;
        std::uint64_t stopCount = 0;
        std::shared_ptr<tWorker::tState> state;
    };
    enum class EPosted { eNo, eIdle, eFinishing };

    std::mutex mutex; // guards the members below; never held while a move runs
    std::condition_variable posted;
    std::optional<tJob> job;                  // posted, not yet taken
    std::shared_ptr<tWorker::tState> current; // the move under way, if any
    bool quit = false;                        // end after the move under way, if any
    // Set under `mutex` with `job` or `quit`, cleared when the job is taken: what the thread
    // watches while it spins between moves.
    std::atomic<bool> signalled{false};
    std::thread thread;

    // Starts a thread with `job` in its slot; std::system_error, `job` untouched, when none can
    // be started.
    static std::shared_ptr<tWorkerThread> Start(tJob& job_)
    {
        auto self = std::make_shared<tWorkerThread>();
        self->job = std::move(job_);
        try {
            self->thread = std::thread(&tWorkerThread::Loop, self);
        } catch (...) {
            job_ = std::move(*self->job);
            throw;
        }
        return self;
    }

    // Hands `job` over when the thread is idle (eIdle), or when its move has finished and it only
    // delivers that move's events (eFinishing: it takes the job next, without going to sleep);
    // eNo, `job` untouched, otherwise. Never to the calling thread itself (a subscriber of a
    // move's events starting the next move from there).
    EPosted Post(tJob& job_)
    {
        EPosted answer = EPosted::eIdle;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (job || quit)
                return EPosted::eNo;
            if (current) {
                if (std::this_thread::get_id() == thread.get_id())
                    return EPosted::eNo;
                std::lock_guard<std::mutex> stateLock(current->mutex);
                if (!current->finished)
                    return EPosted::eNo;
                answer = EPosted::eFinishing;
            }
            job = std::move(job_);
            signalled.store(true, std::memory_order_release);
        }
        posted.notify_one();
        return answer;
    }

    // Takes the job of `state` back while the thread has not taken it yet.
    std::optional<tJob> Reclaim(const std::shared_ptr<tWorker::tState>& state)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!job || job->state != state)
            return std::nullopt;
        std::optional<tJob> back = std::move(job);
        job.reset();
        return back;
    }

    // Joins the thread when it has ended (idle for c_idleLifetime); true then.
    bool JoinIfEnded()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!quit || current || job)
                return false;
        }
        if (thread.joinable())
            thread.join(); // returns at once: the thread only returns
        return true;
    }

    // Tells the thread to end after its move: joined when idle (which returns at once), let go
    // while a move runs or a job waits (the thread ends on its own after them).
    void Retire()
    {
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
            signalled.store(true, std::memory_order_release);
            idle = !current && !job;
        }
        posted.notify_one();
        if (!thread.joinable())
            return;
        if (idle)
            thread.join();
        else
            thread.detach();
    }

    static void Loop(const std::shared_ptr<tWorkerThread>& self)
    {
        // Named by itself, first thing, so that the driver always sees a named thread.
        utl::ThreadSetNameAndPriority(pthread_self(), c_workerName);
        std::unique_lock<std::mutex> lock(self->mutex);
        for (;;) {
            if (!self->job && !self->quit) {
                lock.unlock();
                detail::SpinUntil([&] { return self->signalled.load(std::memory_order_acquire); }, c_idleSpin);
                lock.lock();
            }
            if (!self->posted.wait_for(lock, c_idleLifetime, [&] { return self->job || self->quit; })) {
                self->quit = true; // no move for a while: Post refuses from now on, the owner joins
                return;
            }
            if (!self->job)
                return; // retired, nothing left to do
            tJob taken = std::move(*self->job);
            self->job.reset();
            self->signalled.store(false, std::memory_order_relaxed);
            self->current = taken.state;
            lock.unlock();
            tWorker::Run(*taken.stage, taken.targets, taken.check, taken.stopCount, taken.state);
            taken = tJob(); // the request goes before the next wait
            lock.lock();
            self->current.reset();
        }
    }
};

CBaseStageML::CBaseStageML(CLowLevelStage& stage, MoveCheck workerCheck) : m_stage(stage), m_workerCheck(workerCheck) {}

CBaseStageML::tStageHold CBaseStageML::LockStage() const { return {CEventDeferral(), StageLock(m_stage.m_lock)}; }

CBaseStageML::~CBaseStageML()
{
    // No other thread uses the object any more. Once a worker holds the stage lock it keeps the
    // stage alive until its move is over (the owner's Exit waits for the lock), so it may be let
    // go. Until then it would still reach for the stage: wait for that moment, which comes as
    // soon as the stage lock is free.
    if (m_worker)
        m_retired.push_back(std::move(m_worker));
    for (auto& worker : m_retired)
        worker->WaitFor(&tWorker::tState::locked, c_waitForever);
    for (const auto& thread : m_threads)
        thread->Retire();
}

std::shared_ptr<CBaseStageML::tWorker> CBaseStageML::CurrentWorker() const
{
    std::lock_guard<std::mutex> lock(m_workerMutex);
    return m_worker;
}

bool CBaseStageML::HasWorker() const { return static_cast<bool>(CurrentWorker()); }

int CBaseStageML::GetLastEmulatedMoveResult() const
{
    std::shared_ptr<tWorker> worker;
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (!m_worker)
            return m_lastResult;
        worker = m_worker;
    }
    return worker->Result();
}

void CBaseStageML::Record(std::shared_ptr<tWorker> worker)
{
    std::lock_guard<std::mutex> lock(m_workerMutex);
    // A replaced worker may still run: keep it until it has ended, so that the destructor can
    // still wait for it to hold the stage lock.
    if (m_worker)
        m_retired.push_back(std::move(m_worker));
    m_worker = std::move(worker);
    for (auto it = m_retired.begin(); it != m_retired.end();)
        it = (*it)->WaitFor(&tWorker::tState::finished, 0) ? m_retired.erase(it) : it + 1;
}

void CBaseStageML::Release(const std::shared_ptr<tWorker>& worker, bool finished)
{
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_worker == worker) {
            m_worker.reset();
            m_lastResult = finished ? worker->Result() : c_GeneralFailure;
        }
    }
    m_moving = false;
}

// Moving and waiting

bool CBaseStageML::MovingCheck(const Axes& axes)
{
    const bool moving = CurrentWorker() ? WaitForStop(axes, 0) == c_Timeout : m_stage.IsMoving(axes);
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
    const std::shared_ptr<tWorker> worker = CurrentWorker();
    if (!worker)
        return c_NotImplemented;

    // The wait is on the worker's "finished" mark. Of the failure paths of a timed wait only the
    // time-out can happen here; a condition variable cannot fail short of a std::system_error
    // from its mutex. Such an error cannot end the move forcibly (standard threads cannot be
    // killed): its record is let go instead; the worker never touches this object.
    try {
        if (!worker->WaitFor(&tWorker::tState::finished, timeoutMs))
            return c_Timeout;
    } catch (const std::system_error&) {
        Release(worker, false);
        return c_GeneralFailure;
    }
    Release(worker, true);
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
    if (CurrentWorker()) {
        rc = WaitForStop(KeysOf(targets), 0);
        if (rc == c_NotImplemented && !HasWorker())
            rc = c_OK; // another thread saw the worker end and released it meanwhile
        if (rc == c_Timeout)
            return c_Busy;
        if (rc != c_OK)
            return rc;
    }

    // Threads that ended for want of moves are joined and forgotten.
    m_threads.erase(std::remove_if(m_threads.begin(), m_threads.end(), [](const auto& t) { return t->JoinIfEnded(); }),
                    m_threads.end());
    // A worker thread of this object takes the move: one that is finishing its last move (it
    // takes the next without going to sleep), or an idle one, or a new one when there is neither
    // (the first move; the thread of the last one still runs a move whose record was let go, see
    // WaitForStop). A finishing thread that does not take the move soon (a subscriber of its
    // events is slow) gives it back, and the move goes to another thread.
    auto worker = std::make_shared<tWorker>();
    tWorkerThread::tJob job{&m_stage, targets, m_workerCheck, stopCount, worker->state};
    // Posts `job` to a thread other than `skip`; answers it and whether it is finishing a move.
    const auto post = [&](const tWorkerThread* skip) {
        for (const auto& thread : m_threads) {
            if (thread.get() == skip)
                continue;
            const auto answer = thread->Post(job);
            if (answer != tWorkerThread::EPosted::eNo)
                return std::make_pair(thread, answer == tWorkerThread::EPosted::eFinishing);
        }
        m_threads.reserve(m_threads.size() + 1); // the push_back below cannot throw
        m_threads.push_back(tWorkerThread::Start(job));
        return std::make_pair(m_threads.back(), false);
    };
    try {
        auto [taker, finishing] = post(nullptr);
        Record(worker);
        if (finishing && !worker->WaitFor(&tWorker::tState::handedOver, c_finishingTakeOverMs)) {
            if (auto back = taker->Reclaim(worker->state)) {
                job = std::move(*back);
                post(taker.get());
            }
        }
    } catch (const std::system_error&) {
        Release(worker, false); // nothing took the move
        return c_GeneralFailure;
    }
    starting.unlock();
    if (!worker->WaitFor(&tWorker::tState::handedOver, c_handoverTimeoutMs))
        return c_GeneralFailure; // the worker stays recorded and goes on when it can
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
