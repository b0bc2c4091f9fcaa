#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <mem/CBin.h>
#include <plinth/detail/CLibraryLock.h>
#include <plinth/driver/CAxis.h>
#include <plinth/driver/StageTypes.h>
#include <utl/CPropSet.h>

namespace stg {

namespace detail {
class CMoveWorker;
}

// The base class of every stage driver.
//
// Public operations are non-virtual: each takes the stage lock, calls the protected virtual
// operation of the same name with the suffix Impl, releases the lock (on every path, exceptions
// included) and answers unchanged; a few fire stage events. Events reach their subscribers on the
// calling thread before the operation returns, but only after every stage and precision lock the
// thread holds is released (see CEventDeferral): a subscriber never runs under a library lock.
// A driver overrides the Impl operations its hardware offers; the defaults below answer for the
// rest. c_NotImplemented (4003) from a movement operation makes the medium level emulate it.
//
// The stage lock is recursive: operations call each other under it, and a driver may call public
// operations of its own stage. One lock per stage serialises everything that reaches the driver;
// a blocking driver operation holds it for its whole duration. An event subscriber runs with no
// library lock held, so it may call into any stage from any thread's point of view; different
// stages never wait for each other.
//
// Positions and limits are ticks (std::int64_t); speeds are doubles in the driver's unit;
// time-outs are milliseconds.
class CLowLevelStage {
public:
    // A hold of the stage lock for a series of calls. The overloads below that take one call the
    // driver's slot at once instead of taking the (recursive) lock again, and answer what the
    // overloads without a hold answer; given a hold on another stage, they take their own lock.
    // Events fired under a hold are delivered once it is released, as for every operation. The
    // library's layers take one around a run of property reads: a position read takes a handful
    // of holds instead of a lock per read.
    class CHold {
    public:
        explicit CHold(const CLowLevelStage& stage) : m_lock(stage.m_lock), m_stage(stage) {}
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;
        bool Holds(const CLowLevelStage& stage) const noexcept { return &stage == &m_stage; }

    private:
        CLibraryLock m_lock;
        const CLowLevelStage& m_stage;
    };

    using Axes = std::vector<int>;
    using TickMap = std::map<int, std::int64_t>;
    using SpeedMap = std::map<int, double>;

    virtual ~CLowLevelStage();
    CLowLevelStage(const CLowLevelStage&) = delete;
    CLowLevelStage& operator=(const CLowLevelStage&) = delete;

    // For the driver: called by the application directly, without the stage lock (the driver
    // guards its own state), to switch the hardware to a speed profile `mode` of its own. Quick.
    // Default: c_NotImplemented.
    virtual int SetAdvancedSpeed(const int& mode);

    // Locked: empties the axis map (the axes' settings stay in "Axes"), then InitImpl.
    int Init();
    // Locked: stores every axis's position as "LastPosition" (when connected), then ExitImpl. When
    // the positions cannot be read, answers that code and does not call ExitImpl.
    int Exit();
    bool CheckConnection();

    // Axis map queries; no lock, so they answer also while a blocking move holds it. The map
    // changes only in Init (and the AddAxis calls of InitImpl): do not call these concurrently
    // with Init.
    unsigned int GetAxisCount() const;
    std::vector<int> GetAxisList() const; // ascending
    // Calls visit(axis) for every axis, ascending, without copying the list.
    template <class Visit>
    void ForEachAxis(Visit&& visit) const
    {
        for (const auto& entry : m_axes)
            visit(entry.first);
    }
    // "AxisType" of the axis through the axis-level vessel; eAxisNone when unreadable.
    EAxisType GetAxisType(const int& axis) const;
    EAxisType GetAxisType(const CHold& held, const int& axis) const;
    tSTAGECAPS GetCaps() const;                                               // under the lock
    boost::shared_ptr<utl::CPropSet> GetPropSet() const { return m_propSet; } // shared; no lock
    std::uint32_t GetStageID() const noexcept { return m_stageID; }

    // Property vessels: every stage and axis property read and write of the library goes
    // through these, so a driver that overrides the Impl slots sees all of them.
    int GetPropertyVessel(const int& propID, mem::CBin& value) const;
    int GetPropertyVessel(const CHold& held, const int& propID, mem::CBin& value) const;
    int GetPropertyVessel(const CHold& held, const int& axis, const int& propID, mem::CBin& value) const;
    void SetPropertyVessel(const int& propID, const mem::CBin& value);
    int GetPropertyVessel(const int& axis, const int& propID, mem::CBin& value) const;
    // Fires c_msgCalibrationChanged for "Calibration" and c_msgLimitsChanged for "Minimum" /
    // "Maximum" when the slot answered 4000. A number that no axis setting may take is refused
    // with c_InvalidValue before the slot is called: a double (with or without a unit) that is not
    // finite, and a "Speed", "SpeedMin" or "SpeedMax" that is not positive. Under the stage lock
    // before the slot, also a "Speed" outside the axis's range (CheckSpeed) and a "Calibration"
    // that is not positive or, on an X, Y or Z axis, not a length.
    int SetPropertyVessel(const int& axis, const int& propID, const mem::CBin& value);

    // Limits, in ticks. `axis` null means every axis.
    bool AreLimitsDefined(const int* axis);
    bool AreLimitsDefined(const CHold& held, const int* axis);
    // Fires c_msgLimitsChanged per listed axis, only when the slot answered 4000.
    int UndefineLimits(const Axes& axes);
    int GetAxisLimits(const int& axis, std::int64_t& lower, std::int64_t& upper) const;
    int GetAxisLimits(const CHold& held, const int& axis, std::int64_t& lower, std::int64_t& upper) const;
    // c_InvalidValue, with nothing written, when `lower` lies above `upper`.
    int SetAxisLimits(const int& axis, std::int64_t lower, std::int64_t upper);
    // Writes "Minimum" and/or "Maximum" (c_propMinimum, c_propMaximum) of the axis through the
    // axis-level vessel, in the order given, under one hold of the stage lock, so that no other
    // thread sees one bound without the other. c_InvalidValue, writing nothing, when the limits
    // would then have their minimum above their maximum (a bound not given counts as stored).
    using LimitWrites = std::vector<std::pair<int, std::int64_t>>;
    int WriteLimits(const int& axis, const LimitWrites& writes);

    // Fires c_msgUserControlOn/Off (axis -1) when the slot answered 4000.
    int EnableUserControl(bool enable);
    bool IsUserControlEnabled() const;
    bool IsUserControlEnabled(const CHold& held) const;

    int MoveFree(const SpeedMap& speeds);
    int MoveToPos(const TickMap& targets); // starts a move and returns
    // Starts a move at the given speeds (positive, driver units) and returns.
    int MoveToPosAtSpeed(const TickMap& targets, const SpeedMap& speeds);
    bool IsMoving(const Axes& axes);
    int WaitForStop(const Axes& axes, std::uint32_t timeoutMs); // holds the lock while waiting
    // With a concurrent stop declared (EnableConcurrentStop), StopMovingImpl is called at once,
    // without waiting for the stage lock that a blocking move, a wait or a free run of another
    // thread may hold; otherwise under the stage lock, like every other slot. Either way the stop
    // is counted first (GetStopCount), so that a movement asked for before it and not yet begun
    // does not begin (IsStopRequested).
    int StopMoving();
    // Whether the driver declared a concurrent stop. No lock.
    bool HasConcurrentStop() const noexcept { return m_concurrentStop; }
    // How many times StopMoving has been called on this stage. No lock.
    std::uint64_t GetStopCount() const noexcept { return m_stopCount.load(); }
    int SetPosition(const TickMap& targets); // moves and returns when stopped
    int GetPosition(TickMap& positions, const ESelection& selection);
    int GotoUpperLimit(const Axes& axes);
    int GotoLowerLimit(const Axes& axes);
    // Fires c_msgInitRangesBegin per axis before the slot and c_msgInitRangesEnd per axis after
    // it, whatever the slot answers; both outside the stage lock, so a caller that holds no
    // library lock has the begin events delivered before the driver starts. Events the driver
    // fires meanwhile (limits it writes) come after the slot, before the end events.
    int InitRanges(const Axes& axes);

    // Speeds go through the axis-level vessels, one locked call per axis: another thread's
    // operation may come between two axes. The first failing axis ends the loop. A speed that is
    // not finite, not positive or outside its axis's range (CheckSpeed) is refused
    // (c_InvalidValue) before any is written.
    int SetSpeeds(const SpeedMap& speeds);
    int GetSpeeds(SpeedMap& speeds, const ESelection& selection) const;
    // Locked: whether the axis may run at `speed` (driver units): c_InvalidValue when it is not
    // finite, not positive, or outside the axis's range, that is below "SpeedMin" or above
    // "SpeedMax" where the axis has that setting (a bound that cannot be read, or is not positive,
    // gives no range); c_OK otherwise. Every "Speed" written through SetPropertyVessel and every
    // free-run speed (its magnitude) passes this check before anything reaches the driver.
    int CheckSpeed(const int& axis, double speed) const;

protected:
    // Hands the stage property set to the configuration database under group 3 and the stage ID.
    explicit CLowLevelStage(std::uint32_t stageID);

    // Adds (or replaces) the axis `props.axisNo` from `props` (see CAxis: `fresh` true starts from
    // the defaults, false keeps the stored settings). Takes no lock: call it from InitImpl, which
    // runs under the stage lock. Answers false, adding nothing, for a negative axis number.
    bool AddAxis(const tAxisProps& props, bool fresh);

    // What a driver implements. Every operation below is called by the library with the stage
    // lock held (a recursive mutex, one per stage: at most one of them runs at a time on a stage)
    // unless its comment says otherwise; a call may block, and it holds up every other caller of
    // the stage for as long as it does. Answer failures with result codes: an exception passes to
    // the caller (the lock is released on the way). Overriding is optional; the defaults describe
    // what a stage without that hardware does.
    //
    // Answers common to all: c_OK (4000) when done; c_NoSuchAxis (4002) when a listed axis is not
    // one the driver added with AddAxis (handle the known axes first where the comment says so);
    // c_NotImplemented (4003) when the hardware lacks the command altogether, which for the
    // movement commands lets the medium level build it out of the others (see each). A driver
    // may answer its own codes (4100 and up) for faults of its hardware.

    // Opens the connection and declares the axes: call AddAxis for each, then (usually) the
    // default, which hands every axis's stored settings back to the driver through the axis-level
    // SetPropertyVesselImpl (its answers are ignored) and answers c_OK. May block while the
    // hardware is found and answers (keep it to seconds); when the hardware is absent, answer a
    // failure code.
    virtual int InitImpl();
    // Closes the connection. Called once the positions were saved; must not move. Default: c_OK.
    virtual int ExitImpl();
    // Whether the hardware answers; quick (no more than one short request). Default: true.
    virtual bool CheckConnectionImpl();

    // Stage-level property read. Must not block on hardware. Default: the value from the stage
    // property set and c_OK, or c_GeneralFailure (4001) when it is not set.
    virtual int GetPropertyVesselImpl(const int& propID, mem::CBin& value) const;
    // Axis-level property read. Must not block on hardware. Default: from the axis's set and c_OK;
    // c_NoSuchAxis for an unknown axis; c_PropertyNotAccessible (4014) when the axis has no such
    // property.
    virtual int GetPropertyVesselImpl(const int& axis, const int& propID, mem::CBin& value) const;
    // Stage-level property write into the stage property set (no answer). A driver that overrides
    // it to watch its own settings calls the default to store them.
    virtual void SetPropertyVesselImpl(const int& propID, const mem::CBin& value);
    // Axis-level property write; the driver may pass a setting to its hardware (a speed, say) and
    // then calls the default to store it. Default: into the axis's set and c_OK; c_NoSuchAxis for
    // an unknown axis. Writing "ModeSetLimit" true first forgets the axis's limits through
    // UndefineLimits, whose answer becomes the answer. Infinite and not-a-number values, and
    // speeds that are not positive, never arrive here.
    virtual int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value);

    // Whether the axis (`axis` null: every axis) has both software limits defined. Quick; the
    // defaults keep the limits in the axis settings, so a driver rarely overrides these four.
    // Default: a disabled axis always passes; an enabled one only with both limits defined; an
    // axis whose "AxisEnabled" cannot be read fails, and so does an unknown axis (false).
    virtual bool AreLimitsDefinedImpl(const int* axis);
    // Forgets the software limits of the listed axes. Default: c_OK, or c_NoSuchAxis after
    // handling the known axes when one is unknown.
    virtual int UndefineLimitsImpl(const Axes& axes);
    // Reads the software limits, ticks. Default: "Minimum", then "Maximum"; the first failing read
    // is the answer (c_NoSuchAxis for an unknown axis).
    virtual int GetAxisLimitsImpl(const int& axis, std::int64_t& lower, std::int64_t& upper) const;
    // Writes the software limits, ticks (lower not above upper: checked before). Default: writes
    // "Minimum", then "Maximum", through the public vessel, so that the limit events are fired.
    virtual int SetAxisLimitsImpl(const int& axis, std::int64_t lower, std::int64_t upper);

    // Hands the stage to (true) or takes it from (false) a joystick or hand wheel at the
    // controller. Quick. Default: c_NotImplemented (no manual control to switch).
    virtual int EnableUserControlImpl(bool enable);
    // Whether manual control is on. Quick. Default: true.
    virtual bool IsUserControlEnabledImpl() const;

    // Movement. Targets reach the driver finite and within the limits in force; with no limits in
    // force a target may lie beyond the end of travel (the emulated limit runs send far targets),
    // and the axis then stops at its end switch. The driver moves only the listed axes and answers
    // c_NoSuchAxis, moving nothing, when one is unknown. A driver with a concurrent stop (below)
    // checks IsStopRequested() right before it starts the hardware and answers c_Stopped (4021)
    // instead when it is set.

    // Free runs and limit runs end at the limits in force. While an axis's limits are in force
    // (both defined and the axis not in limit-setting mode, "ModeSetLimit"), the library never
    // calls MoveFreeImpl, GotoUpperLimitImpl or GotoLowerLimitImpl for it: a free run becomes a
    // started move to the limit in force in its direction at the requested speed
    // (MoveToPosAtSpeedImpl; when the driver lacks it, MoveToPos to that limit at the axis's
    // "Speed"), a limit run a blocking move to that limit at the axis's "Speed". A free run of
    // several axes of which any has its limits in force is one such move; an axis in
    // limit-setting mode among them runs a fixed step from where it stands (see CBaseStageML).
    // A stage whose capabilities forbid the emulated free run (emulateFreeMove) refuses a free run
    // with limits in force (c_NotImplemented).
    // Without limits in force (limit-setting mode, the range search) free runs and limit runs
    // reach these slots and go on to the end switches. A free-run speed reaches a driver finite,
    // its magnitude positive and within the axis's "SpeedMin".."SpeedMax" (CheckSpeed).

    // Starts each listed axis running at the given speed (the sign gives the direction, the
    // magnitude the speed) and returns at once, the axes still running. Default:
    // c_NotImplemented; the medium level then runs the axes towards their limits (unless the
    // capabilities forbid it).
    virtual int MoveFreeImpl(const SpeedMap& speeds);
    // Starts a move of each listed axis to its target, ticks, and returns at once (within a few
    // milliseconds), the axes still moving. Default: c_NotImplemented; the medium level then runs
    // SetPositionImpl on a thread of its own.
    virtual int MoveToPosImpl(const TickMap& targets);
    // As MoveToPosImpl (a started move; same blocking, locking and stop rules), each listed axis
    // at its own speed from `speeds` (positive and finite, driver units, within the axis's range;
    // the same keys as `targets`) instead of its "Speed". The library uses it for free runs while
    // limits are in force. Default: c_NotImplemented; the library then starts MoveToPos to the
    // same targets, which runs at the axes' "Speed".
    virtual int MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds);
    // Whether any listed axis is moving. Quick (one status request); unknown axes do not move.
    // Default: false.
    virtual bool IsMovingImpl(const Axes& axes);
    // Waits until the listed axes are at rest and answers c_OK; c_Timeout (4007) once `timeoutMs`
    // milliseconds have passed with an axis still moving (c_waitForever: no limit); c_Stopped when
    // a stop ended the wait. Blocks for up to `timeoutMs`. Default: c_NotImplemented (the medium
    // level then waits for its own move thread, if any).
    virtual int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs);
    // Stops every axis and returns once all are at rest, so that the next position read is final:
    // blocks no longer than the deceleration takes. Must not fail to stop for any state the stage
    // is in. Runs under the stage lock unless the driver declared a concurrent stop (below).
    // Default: c_NotImplemented.
    virtual int StopMovingImpl();
    // Moves each listed axis to its target, ticks, and returns once they are at rest there
    // (c_OK), or early with c_Stopped when a stop ended the move. Blocks for the whole move.
    // Default: c_NotImplemented; the medium level then starts MoveToPosImpl and waits in
    // WaitForStopImpl.
    virtual int SetPositionImpl(const TickMap& targets);
    // Reads the positions, ticks. For eAllAxes the map arrives empty and must be filled with every
    // axis; for eGivenAxes only the keys already in the map are filled (c_NoSuchAxis when one is
    // unknown). Quick (one request per axis at most). Every driver implements it: Exit saves the
    // positions through it and fails, without calling ExitImpl, when it fails. Default:
    // c_NotImplemented.
    virtual int GetPositionImpl(TickMap& positions, const ESelection& selection);
    // Runs the listed axes to their upper (lower) end switches and returns once they are at rest
    // there, or c_Stopped. Blocks for the whole run. Default: c_NotImplemented; the medium level
    // then moves towards a far target (or the limit in force) with SetPositionImpl.
    virtual int GotoUpperLimitImpl(const Axes& axes);
    virtual int GotoLowerLimitImpl(const Axes& axes);
    // Finds the travel range of the listed axes (typically both end switches) and writes it as
    // the axes' limits with SetAxisLimits; returns when done, or c_Stopped. Blocks for the whole
    // search. Default: c_NotImplemented (the library has no emulation for it).
    virtual int InitRangesImpl(const Axes& axes);

    // For the driver's constructor; the library never changes the capabilities afterwards.
    void SetCaps(const tSTAGECAPS& caps);
    // For the driver's constructor: declares that StopMovingImpl may run on any thread at any
    // time, while another thread is inside any other slot (a blocking move, a wait, a free run),
    // without the stage lock. Such a driver makes its blocking slots return early, answering
    // c_Stopped, once a stop arrives. Drivers that do not declare it get their stop under the
    // stage lock, after whatever slot runs.
    //
    // The contract of such a driver, with its own short-held lock around its motion state:
    // - StopMovingImpl takes only the driver's own lock (never the stage lock, so no property
    //   reads), stops every axis and returns once they are at rest;
    // - a slot that starts a motion checks IsStopRequested() under the driver's own lock right
    //   before it starts it and answers c_Stopped, starting nothing, when it is set; because
    //   StopMoving counts the stop before it calls StopMovingImpl, no stop can fall between the
    //   check and the start unseen;
    // - a blocking slot (a blocking move, a wait, a limit run, a range search) returns c_Stopped
    //   once a stop has brought the axes to rest.
    void EnableConcurrentStop() noexcept { m_concurrentStop = true; }
    // For the movement slots (MoveFree, MoveToPos, MoveToPosAtSpeed, WaitForStop, SetPosition, the limit runs,
    // InitRanges): whether StopMoving was called since the movement now running was asked for
    // (for the worker of an emulated move: since the move was accepted). Expects the stage lock
    // held by the calling slot.
    bool IsStopRequested() const noexcept { return m_stopCount.load() != m_stopCountAtCall; }

private:
    // The worker of an emulated move holds the stage lock for the whole move.
    friend class CBaseStageML;
    friend class detail::CMoveWorker;
    // Deletes a stage only once no thread holds its lock (see CStageManager::CreateDriver).
    friend class CStageManager;
    using Lock = CLibraryLock;

    // Runs `call` under the stage lock and answers what it answers.
    template <class Call>
    auto Locked(Call&& call) const -> decltype(call())
    {
        Lock lock(m_lock);
        return call();
    }
    // A movement slot under the stage lock: IsStopRequested() answers for stops counted after
    // `stopCount` (taken when the movement was asked for) while `call` runs.
    template <class Call>
    int Moving(std::uint64_t stopCount, Call&& call)
    {
        Lock lock(m_lock);
        const std::uint64_t outer = m_stopCountAtCall; // a driver may call its own stage's moves
        m_stopCountAtCall = stopCount;
        struct tRestore {
            std::uint64_t& field;
            std::uint64_t value;
            ~tRestore() { field = value; }
        } restore{m_stopCountAtCall, outer};
        return call();
    }
    // The worker's blocking move of an emulated MoveToPos, which was accepted at `stopCount`.
    int SetPositionSince(const TickMap& targets, std::uint64_t stopCount);
    // Hands the event to the thread's deferral: delivered once the thread holds no library lock.
    void Fire(int msgID, int axis) const;
    // An axis setting through the driver's vessel slot (as stg::ReadAxisProperty, without taking
    // the lock). For the default slots, which run under the stage lock.
    template <class T>
    int ReadSettingHeld(int axis, int propID, T& value) const;
    CAxis* FindAxis(int axis); // expects the stage lock held
    const CAxis* FindAxis(int axis) const
    {
        if (axis >= 0 && static_cast<std::size_t>(axis) < m_axisTable.size())
            return m_axisTable[static_cast<std::size_t>(axis)];
        return FindAxisInMap(axis);
    }
    const CAxis* FindAxisInMap(int axis) const;

    std::map<int, CAxis> m_axes;
    // The entries of m_axes with the axis numbers 0 to 15 by number (null: no such axis), so that
    // the axis of a property read is found with one load; changed with m_axes.
    std::array<CAxis*, 16> m_axisTable{};
    boost::shared_ptr<utl::CPropSet> m_propSet;
    mutable std::recursive_mutex m_lock;
    std::uint32_t m_stageID;
    tSTAGECAPS m_caps;             // all true until the driver's constructor says otherwise
    bool m_concurrentStop = false; // set only in the driver's constructor
    std::atomic<std::uint64_t> m_stopCount{0};
    std::uint64_t m_stopCountAtCall = 0; // under the stage lock: see Moving
};

} // namespace stg
