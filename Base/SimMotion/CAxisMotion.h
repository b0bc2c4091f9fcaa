#pragma once

#include <cstdint>
#include <vector>

namespace simstage {

// The motion of one simulated axis between two hardware end switches.
//
// A command plans the motion from the axis's state at the command's time as a short list of
// phases of constant acceleration; positions and speeds are then computed for any time asked,
// so nothing runs in the background. Every move is a trapezoid: it ramps up to its speed at the
// axis's fixed acceleration, cruises, and ramps down to rest at the target; a distance too short
// for the full speed gives a triangle. An axis moving the other way, or too fast to stop before
// the target, first ramps down to rest. An end switch cuts any motion off at once where it reaches
// the end of travel, as real end switches do.
//
// Units: positions in ticks (kept as doubles inside, answered as whole ticks), speeds in ticks
// per second, acceleration in ticks per second squared, times in simulated seconds of the
// caller's clock, which must not run backwards. Not thread-safe: the driver calls it under the
// stage lock.
class CAxisMotion {
public:
    // At rest at 0 (or the end nearest to it). `lowerEndTicks` < `upperEndTicks`; the
    // acceleration is positive.
    CAxisMotion(std::int64_t lowerEndTicks, std::int64_t upperEndTicks, double accelTicksPerS2);

    // Puts the axis at rest at `ticks`, or at the end switch it lies beyond.
    void PlaceAt(std::int64_t ticks);
    // Moves to `targetTicks` at up to `speedTicksPerS`; a target beyond an end ends at the switch.
    void MoveTo(double nowS, std::int64_t targetTicks, double speedTicksPerS);
    // Runs towards the upper end (`direction` > 0) or the lower end (< 0) at `speedTicksPerS` until
    // an end switch or the next command. A direction of 0 ramps down like Stop.
    void RunFree(double nowS, int direction, double speedTicksPerS);
    // Ramps down to rest. A speed that is not positive makes MoveTo and RunFree do the same.
    void Stop(double nowS);
    // Stops at once where the axis is (the motor loses power).
    void Halt(double nowS);

    std::int64_t PositionAt(double nowS) const; // rounded to the nearest tick, within the ends
    double SpeedAt(double nowS) const;          // signed: negative towards the lower end
    bool IsMovingAt(double nowS) const { return nowS < m_restS; }
    // When the planned motion ends; the axis is at rest from then on (also when that is past).
    double RestTimeS() const { return m_restS; }

private:
    struct tPhase {
        double startS;
        double durationS; // may be infinite until the end switches cut it
        double startTicks;
        double startSpeed;
        double accel;
    };
    struct tState {
        double ticks;
        double speed;
    };

    tState StateAt(double nowS) const;
    static tState StateAfter(const tPhase& phase, double elapsedS);
    // Forgets the plan; the next phases start from the state at `nowS`.
    void Begin(double nowS);
    // Appends a phase from the speed where the plan stands to `toSpeed`, split at rest when the
    // direction changes, so that every phase moves one way only.
    void AddRamp(double toSpeed);
    void AddCruise(double durationS);
    // Ends the plan at `restTicks`; cuts it short where it first reaches an end switch.
    void Finish(double restTicks);

    std::int64_t m_lowerEndTicks;
    std::int64_t m_upperEndTicks;
    double m_lowerEnd; // the same as numbers of the plan
    double m_upperEnd;
    double m_accel;
    std::vector<tPhase> m_phases; // the plan, in time order
    tPhase m_next{};              // where the next appended phase starts
    double m_restTicks = 0.0;     // the position at rest after the plan
    double m_restS;               // when the plan ends
};

} // namespace simstage
