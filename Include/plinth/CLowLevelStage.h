#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <mem/CBin.h>
#include <plinth/CAxis.h>
#include <plinth/CLibraryLock.h>
#include <plinth/StageTypes.h>
#include <utl/CPropSet.h>

namespace stg {

// The base class of every stage driver.
//
// Public operations are non-virtual: each takes the stage lock, calls the protected virtual
// operation of the same name with the suffix Impl, releases the lock (on every path, exceptions
// included) and answers unchanged; a few fire stage events. Events reach their subscribers on the
// calling thread before the operation returns, but only after every stage and precision lock the
// thread holds is released (see CEventDeferral): a subscriber never runs under a library lock.
// A driver overrides the Impl operations its hardware offers; the defaults below answer for the
// rest. c_NotImplemented (4003) from a movement slot makes the medium level emulate it.
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
    using Axes = std::vector<int>;
    using TickMap = std::map<int, std::int64_t>;
    using SpeedMap = std::map<int, double>;

    virtual ~CLowLevelStage();
    CLowLevelStage(const CLowLevelStage&) = delete;
    CLowLevelStage& operator=(const CLowLevelStage&) = delete;

    // Slot 1, called without the lock. Default: 4003.
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
    // "AxisType" of the axis through the axis-level vessel; eAxisNone when unreadable.
    EAxisType GetAxisType(const int& axis) const;
    tSTAGECAPS GetCaps() const;                                               // under the lock
    boost::shared_ptr<utl::CPropSet> GetPropSet() const { return m_propSet; } // shared; no lock
    std::uint32_t GetStageID() const noexcept { return m_stageID; }

    // Property vessels: every stage and axis property read and write of the library goes
    // through these, so a driver that overrides the Impl slots sees all of them.
    int GetPropertyVessel(const int& propID, mem::CBin& value) const;
    void SetPropertyVessel(const int& propID, const mem::CBin& value);
    int GetPropertyVessel(const int& axis, const int& propID, mem::CBin& value) const;
    // Fires c_msgCalibrationChanged for "Calibration" and c_msgLimitsChanged for "Minimum" /
    // "Maximum" when the slot answered 4000. A number that no axis setting may take is refused
    // with c_InvalidValue before the slot is called: a double (with or without a unit) that is not
    // finite, and a "Speed", "SpeedMin" or "SpeedMax" that is not positive.
    int SetPropertyVessel(const int& axis, const int& propID, const mem::CBin& value);

    // Limits, in ticks. `axis` null means every axis.
    bool AreLimitsDefined(const int* axis);
    // Fires c_msgLimitsChanged per listed axis, only when the slot answered 4000.
    int UndefineLimits(const Axes& axes);
    int GetAxisLimits(const int& axis, std::int64_t& lower, std::int64_t& upper) const;
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

    int MoveFree(const SpeedMap& speeds);
    int MoveToPos(const TickMap& targets); // starts a move and returns
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
    // not finite or not positive is refused (c_InvalidValue) before any is written.
    int SetSpeeds(const SpeedMap& speeds);
    int GetSpeeds(SpeedMap& speeds, const ESelection& selection) const;

protected:
    // Hands the stage property set to the configuration database under group 3 and the stage ID.
    explicit CLowLevelStage(std::uint32_t stageID);

    // Adds (or replaces) the axis `props.axisNo` from `props` (see CAxis: `fresh` true starts from
    // the defaults, false keeps the stored settings). Takes no lock: call it from InitImpl, which
    // runs under the stage lock. Answers false, adding nothing, for a negative axis number.
    bool AddAxis(const tAxisProps& props, bool fresh);

    // The driver interface. Each comment gives the default.

    // Slot 2. Pushes the stored settings of every axis into the driver through slot 8 (its
    // answers are ignored); 4000. A driver's own InitImpl adds its axes with AddAxis and may then
    // call this to receive the stored settings.
    virtual int InitImpl();
    virtual int ExitImpl();             // slot 3: 4000
    virtual bool CheckConnectionImpl(); // slot 4: true

    // Slot 5: from the stage property set; 4000, or 4001 when absent.
    virtual int GetPropertyVesselImpl(const int& propID, mem::CBin& value) const;
    // Slot 6: from the axis's set; 4000, 4002 for an unknown axis, 4014 when absent.
    virtual int GetPropertyVesselImpl(const int& axis, const int& propID, mem::CBin& value) const;
    // Slot 7: into the stage property set.
    virtual void SetPropertyVesselImpl(const int& propID, const mem::CBin& value);
    // Slot 8: into the axis's set; 4002 for an unknown axis. "ModeSetLimit" written true first
    // forgets the axis's limits through UndefineLimits (whose answer becomes the answer).
    virtual int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value);

    // Slot 9: enabled axes pass only with both limits defined; disabled axes always pass; an axis
    // whose "AxisEnabled" cannot be read fails; an unknown axis answers false.
    virtual bool AreLimitsDefinedImpl(const int* axis);
    // Slot 10: forgets the listed axes' limits; 4002 (after handling the others) when one is unknown.
    virtual int UndefineLimitsImpl(const Axes& axes);
    // Slot 11: reads "Minimum", then "Maximum"; the first failing read is the answer.
    virtual int GetAxisLimitsImpl(const int& axis, std::int64_t& lower, std::int64_t& upper) const;
    // Slot 12: writes "Minimum", then "Maximum", through the public vessel (events included).
    virtual int SetAxisLimitsImpl(const int& axis, std::int64_t lower, std::int64_t upper);

    virtual int EnableUserControlImpl(bool enable);                         // slot 13: 4003
    virtual bool IsUserControlEnabledImpl() const;                          // slot 14: true
    virtual int MoveFreeImpl(const SpeedMap& speeds);                       // slot 15: 4003
    virtual int MoveToPosImpl(const TickMap& targets);                      // slot 16: 4003
    virtual bool IsMovingImpl(const Axes& axes);                            // slot 17: false
    virtual int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs); // slot 18: 4003
    virtual int StopMovingImpl();                                           // slot 19: 4003
    virtual int SetPositionImpl(const TickMap& targets);                    // slot 20: 4003
    // Slot 21: 4003. A driver fills every axis for eAllAxes and only the given keys otherwise.
    virtual int GetPositionImpl(TickMap& positions, const ESelection& selection);
    virtual int GotoUpperLimitImpl(const Axes& axes); // slot 22: 4003
    virtual int GotoLowerLimitImpl(const Axes& axes); // slot 23: 4003
    virtual int InitRangesImpl(const Axes& axes);     // slot 24: 4003

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
    // For the movement slots (MoveFree, MoveToPos, WaitForStop, SetPosition, the limit runs,
    // InitRanges): whether StopMoving was called since the movement now running was asked for
    // (for the worker of an emulated move: since the move was accepted). Expects the stage lock
    // held by the calling slot.
    bool IsStopRequested() const noexcept { return m_stopCount.load() != m_stopCountAtCall; }

private:
    // The worker of an emulated move takes the stage lock before it acknowledges its start.
    friend class CBaseStageML;
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
    CAxis* FindAxis(int axis); // expects the stage lock held
    const CAxis* FindAxis(int axis) const;

    std::map<int, CAxis> m_axes;
    boost::shared_ptr<utl::CPropSet> m_propSet;
    mutable std::recursive_mutex m_lock;
    std::uint32_t m_stageID;
    tSTAGECAPS m_caps;             // all true until the driver's constructor says otherwise
    bool m_concurrentStop = false; // set only in the driver's constructor
    std::atomic<std::uint64_t> m_stopCount{0};
    std::uint64_t m_stopCountAtCall = 0; // under the stage lock: see Moving
};

} // namespace stg
