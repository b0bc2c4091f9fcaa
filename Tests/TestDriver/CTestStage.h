#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include <plinth/driver/Driver.h>

namespace stgtest {

// The driver slots, numbered as in the driver interface.
enum class ESlot {
    SetAdvancedSpeed = 1,
    Init,
    Exit,
    CheckConnection,
    GetStageProperty,
    GetAxisProperty,
    SetStageProperty,
    SetAxisProperty,
    AreLimitsDefined,
    UndefineLimits,
    GetAxisLimits,
    SetAxisLimits,
    EnableUserControl,
    IsUserControlEnabled,
    MoveFree,
    MoveToPos,
    IsMoving,
    WaitForStop,
    StopMoving,
    SetPosition,
    GetPosition,
    GotoUpperLimit,
    GotoLowerLimit,
    InitRanges,
    MoveToPosAtSpeed,
};

// A fault to inject into one slot: answer `code` (bool slots answer code == c_OK) or throw.
struct tFault {
    int code = stg::c_GeneralFailure;
    bool throws = false;
    int onCall = 0; // 0: every call; N: only the Nth call of the slot (counting from 1)
};

// Thrown by a slot told to throw.
struct CInjectedFault : std::runtime_error {
    explicit CInjectedFault(ESlot slot);
    ESlot slot;
};

// What the test driver is and does, chosen by the test.
struct tTestStageConfig {
    std::vector<stg::tAxisProps> axes; // added by InitImpl, in this order
    bool freshAxes = false;            // AddAxis's `fresh`
    bool pushStoredSettings = true;    // InitImpl then calls the default to receive stored settings
    // Slots with this driver's own behaviour; every other slot falls back to the library default.
    std::set<ESlot> implemented;
    std::map<ESlot, tFault> faults;
    stg::tSTAGECAPS caps;
    bool connected = true;
    // Where InitRanges finds the hardware ends of each axis (ticks).
    std::map<int, std::pair<std::int64_t, std::int64_t>> hardwareRanges;
    // Called on entry to every slot, under the stage lock (StopMoving: see concurrentStop); lets
    // a test block or observe a call.
    std::function<void(ESlot)> onCall;
    // Declares the concurrent stop: StopMoving then comes on any thread, without the stage lock.
    bool concurrentStop = true;
    // The blocking slots (SetPosition, a WaitForStop on a started move, the limit runs, InitRanges)
    // hold until ReleaseHeld() or StopMoving (at most 60 s). Stopped, they answer c_Stopped and the
    // axes stay where they were.
    bool holdBlockingSlots = false;
    // The constructor throws std::runtime_error("the test driver was told to fail").
    bool constructorThrows = false;
};

// Every slot of the driver interface in one set, for a driver that implements everything.
std::set<ESlot> AllSlots();

// A configurable driver for the library's tests, and the shortest example of a driver.
//
// Implemented slots simulate a stage whose moves complete at once: SetPosition moves the axes
// immediately; MoveToPos (and MoveToPosAtSpeed) starts a move that completes in WaitForStop (a zero time-out while it
// is pending answers c_Timeout) and is abandoned by StopMoving; MoveFree runs until StopMoving. Every slot records its
// call; a configured fault replaces the slot's answer. With the concurrent stop declared the driver keeps its contract:
// a movement slot asked for before a stop answers c_Stopped without moving, and a held blocking slot ends with
// c_Stopped.

class CTestStage : public stg::CLowLevelStage {
public:
    CTestStage(std::uint32_t stageID, tTestStageConfig config);

    // Calls received, in order (thread-safe: a worker thread may call the driver).
    std::vector<ESlot> Calls() const;
    int CallCount(ESlot slot) const;
    void ClearCalls();
    // The driver's own notion of where its axes stand (ticks).
    std::map<int, std::int64_t> Positions() const;
    void SetPositions(const std::map<int, std::int64_t>& positions);
    // The targets of the last MoveToPos / MoveToPosAtSpeed / SetPosition, and the speeds of the
    // last MoveFree or MoveToPosAtSpeed.
    std::map<int, std::int64_t> LastTargets() const;
    // The targets of every MoveToPos, MoveToPosAtSpeed and SetPosition, in order.
    std::vector<std::map<int, std::int64_t>> Moves() const;
    std::map<int, double> LastSpeeds() const;
    // Changes the configuration between calls (not while the stage is in use on another thread).
    tTestStageConfig& Config() { return m_config; }
    // Lets every held blocking slot go on, now and from now on.
    void ReleaseHeld();

protected:
    int InitImpl() override;
    int ExitImpl() override;
    bool CheckConnectionImpl() override;
    int GetPropertyVesselImpl(const int& propID, mem::CBin& value) const override;
    int GetPropertyVesselImpl(const int& axis, const int& propID, mem::CBin& value) const override;
    void SetPropertyVesselImpl(const int& propID, const mem::CBin& value) override;
    int SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value) override;
    bool AreLimitsDefinedImpl(const int* axis) override;
    int UndefineLimitsImpl(const Axes& axes) override;
    int GetAxisLimitsImpl(const int& axis, std::int64_t& lower, std::int64_t& upper) const override;
    int SetAxisLimitsImpl(const int& axis, std::int64_t lower, std::int64_t upper) override;
    int EnableUserControlImpl(bool enable) override;
    bool IsUserControlEnabledImpl() const override;
    int MoveFreeImpl(const SpeedMap& speeds) override;
    int MoveToPosImpl(const TickMap& targets) override;
    int MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds) override;
    bool IsMovingImpl(const Axes& axes) override;
    int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) override;
    int StopMovingImpl() override;
    int SetPositionImpl(const TickMap& targets) override;
    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override;
    int GotoUpperLimitImpl(const Axes& axes) override;
    int GotoLowerLimitImpl(const Axes& axes) override;
    int InitRangesImpl(const Axes& axes) override;

private:
    // Records the call, runs the hook, applies a fault; otherwise answers own() when the slot is
    // implemented and library() when not.
    template <class Library, class Own>
    auto Slot(ESlot slot, Library&& library, Own&& own) const -> decltype(library());

    // Whether a fault of `slot` applies to the call just recorded.
    const tFault* FaultFor(ESlot slot) const;
    std::int64_t LimitOf(int axis, int propID) const;
    // A blocking slot's hold (see holdBlockingSlots); true when a stop ended it. Expects the stage
    // lock held by the slot.
    bool HeldUntilStopped();

    tTestStageConfig m_config;
    mutable std::mutex m_mutex; // guards the members below, which the tests read from other threads
    mutable std::vector<ESlot> m_calls;
    std::map<int, std::int64_t> m_positions;
    std::map<int, std::int64_t> m_pending;            // targets of a started move
    std::vector<std::map<int, std::int64_t>> m_moves; // targets of every MoveToPos / SetPosition
    std::map<int, double> m_lastSpeeds;
    bool m_freeRunning = false;
    bool m_userControl = true;
    bool m_released = false;             // ReleaseHeld was called
    std::condition_variable m_holdEnded; // a release or a stop
};

} // namespace stgtest
