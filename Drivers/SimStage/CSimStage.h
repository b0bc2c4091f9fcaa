#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include <plinth/driver/Driver.h>

#include "CAxisMotion.h"
#include "ISimClock.h"
#include "SimStageDefs.h"

namespace simstage {

// The driver of a simulated motorised XYZ stage (see c_simAxes), written the way a driver of a
// real controller is written: it adds its axes in InitImpl, answers the movement slots from its
// controller (here a motion model per axis) and leaves everything else to the library.
//
// Motion takes time: each axis moves along a trapezoidal profile at its "Speed" (ticks per
// second, read from the axis property when a move starts, at most the hardware's top speed) and
// the hardware's fixed acceleration. Positions are computed from the clock when they are read, so
// several axes move at once and no thread runs in the driver. End switches at both ends of travel
// stop any motion there.
//
// Like a real controller that cannot remember where it stands, the stage starts every Init at
// rest at the axes' stored "LastPosition", which the library writes at Exit.
//
// The stage properties "SimProfile" (which commands the controller offers; the others answer
// stg::c_NotImplemented so that the library emulates them) and "SimTimeScale" (how fast the
// simulated time runs) take effect at the next slot; see SimStageDefs.h. They are read again only
// when the stage property set has changed since they were last read (its change count tells), so
// a position read costs no property read.
//
// The stage has no joystick or hand wheel: user control is never on, so the library's position
// cache answers reads while nothing moves.
//
// Every slot but StopMoving runs under the stage lock (the library takes it); the blocking slots
// (SetPosition, the runs to the end switches, InitRanges, WaitForStop) keep it while they wait.
// The driver declares a concurrent stop: StopMoving runs on any thread at any time, without the
// stage lock, and a blocking slot that it interrupts answers stg::c_Stopped once the axes have
// ramped down. The motion models are guarded by the driver's own short-held lock.
class CSimStage : public stg::CLowLevelStage {
public:
    // The factory's constructor: a steady clock scaled by "SimTimeScale".
    explicit CSimStage(std::uint32_t stageID);
    // With a clock of the caller's (tests move a clock by hand). `clock` must not be null.
    CSimStage(std::uint32_t stageID, std::shared_ptr<ISimClock> clock);
    ~CSimStage() override;

protected:
    // Adds the axes (keeping their stored settings), receives the stored settings (so limits
    // found before count as defined again) and places each axis at rest at its "LastPosition".
    int InitImpl() override;
    // The controller is switched off: a motion still under way stops at once, and where it
    // stopped becomes the axis's "LastPosition".
    int ExitImpl() override;

    // Every slot below answers c_NoSuchAxis, doing nothing, when a listed axis is unknown, and
    // c_GeneralFailure when an axis to move has a "Speed" that is not positive.

    // Full and started-only. The sign gives the direction and the magnitude the speed (up to the
    // hardware's top speed); the axis runs until StopMoving or an end switch. A zero entry ramps
    // that axis down.
    int MoveFreeImpl(const SpeedMap& speeds) override;
    // Full and started-only. Starts the moves and returns; a target beyond the end of travel ends
    // at the end switch.
    int MoveToPosImpl(const TickMap& targets) override;
    // Full and started-only. The same at the given speeds (up to the hardware's top speed);
    // c_InvalidValue, moving nothing, when a target's speed is missing, not finite or not positive.
    int MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds) override;
    // Whether any listed axis is moving (unknown axes are not).
    bool IsMovingImpl(const Axes& axes) override;
    // Full and started-only. Waits until the listed axes are at rest (c_OK) or `timeoutMs` real
    // milliseconds have passed (c_Timeout); stg::c_waitForever waits without limit. c_Stopped when
    // StopMoving came during the wait.
    int WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) override;
    // Ramps every axis down and returns once all are at rest (the ramp takes speed /
    // acceleration, 50 ms for X at its default speed), so that the next position read is final.
    // Called without the stage lock, also while another slot waits.
    int StopMovingImpl() override;
    // Full and blocking-only. Moves and returns once the axes are at rest (c_Stopped when
    // StopMoving ended the move). An end switch that stops an axis short of its target is not an
    // error: read the position.
    int SetPositionImpl(const TickMap& targets) override;
    int GetPositionImpl(TickMap& positions, const stg::ESelection& selection) override;
    // No manual control: false.
    bool IsUserControlEnabledImpl() const override;
    // Full and blocking-only. Run to the end switches; return once there (c_Stopped when stopped).
    int GotoUpperLimitImpl(const Axes& axes) override;
    int GotoLowerLimitImpl(const Axes& axes) override;
    // Every profile. Runs the listed axes together to the lower end switches, then to the upper
    // ones, writes the positions found there as "Minimum" and "Maximum" through SetAxisLimits (so
    // the stage events fire) and moves the axes back to where they started. A stop ends the
    // search where it is (c_Stopped), with the limits unchanged.
    int InitRangesImpl(const Axes& axes) override;

private:
    struct tAxis {
        const tSimAxisHardware* hardware;
        CAxisMotion motion;
    };

    // Declares "SimProfile" and "SimTimeScale" in the property registry (name, range, description).
    static void RegisterSettings();
    // These three expect the stage lock held (every slot but StopMoving runs under it).
    bool OffersStartedMoves();  // MoveToPos, WaitForStop, MoveFree
    bool OffersBlockingMoves(); // SetPosition, GotoLowerLimit, GotoUpperLimit
    // The clock, running at the current "SimTimeScale".
    ISimClock& Clock();
    // Reads "SimProfile" and "SimTimeScale" (handing the scale to the clock) when the stage set
    // changed since the last reads, or on the first use. Expects the stage lock held.
    void RefreshSettings();
    // Checks every axis and reads its speed first; answers c_OK only when all can move.
    int ReadSpeeds(const Axes& axes, std::map<int, double>& speedsTicksPerS) const;
    // The same for one axis; `speedTicksPerS` is written only on c_OK.
    int ReadSpeed(int axis, double& speedTicksPerS) const;
    // A requested speed of an axis, capped at the hardware's top speed; `speedTicksPerS` is
    // written only on c_OK.
    int RequestedSpeed(int axis, const SpeedMap& requested, double& speedTicksPerS) const;
    // At the requested speeds, or (null) at the axes' "Speed".
    int StartMoves(const TickMap& targets, const SpeedMap* requested = nullptr);
    // Runs to the end switches, at the axes' "Speed" or (`topSpeed`) at the hardware's top speed.
    int StartRuns(const Axes& axes, int direction, bool topSpeed = false);
    // Each axis's top speed, as the range search runs.
    SpeedMap TopSpeeds(const Axes& axes) const;
    // Waits until the listed axes are at rest or the time-out has passed: c_OK or c_Timeout;
    // with `stoppable`, c_Stopped once a stop came and the axes are at rest. Takes m_motionLock
    // only between short sleeps, so that a stop can come in.
    int WaitForAxes(const Axes& axes, std::uint32_t timeoutMs, bool stoppable = true);

    std::shared_ptr<ISimClock> m_clock;
    const boost::shared_ptr<utl::CPropSet> m_stageSet; // the stage property set, for its change count
    // The settings as last read, under the stage lock, and the set's change count before the reads.
    std::int32_t m_profile = eSimFull;
    std::uint64_t m_settingsGeneration = 0;
    bool m_settingsRead = false;
    // Guards m_axes: StopMovingImpl runs without the stage lock. A short lock (every position read
    // takes it, and no one holds it for more than a motion plan's arithmetic).
    mutable std::mutex m_motionLock;
    std::map<int, tAxis> m_axes; // built by InitImpl
};

} // namespace simstage
