#include "CAxisMotion.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace simstage {
namespace {

constexpr double c_inf = std::numeric_limits<double>::infinity();

} // namespace

CAxisMotion::CAxisMotion(std::int64_t lowerEndTicks, std::int64_t upperEndTicks, double accelTicksPerS2)
    : m_lowerEndTicks(lowerEndTicks), m_upperEndTicks(upperEndTicks), m_lowerEnd(static_cast<double>(lowerEndTicks)),
      m_upperEnd(static_cast<double>(upperEndTicks)), m_accel(accelTicksPerS2), m_restS(-c_inf)
{
    PlaceAt(0);
}

void CAxisMotion::PlaceAt(std::int64_t ticks)
{
    m_phases.clear();
    m_restTicks = std::clamp(static_cast<double>(ticks), m_lowerEnd, m_upperEnd);
    m_restS = -c_inf;
}

CAxisMotion::tState CAxisMotion::StateAfter(const tPhase& phase, double elapsedS)
{
    return {phase.startTicks + elapsedS * (phase.startSpeed + 0.5 * phase.accel * elapsedS),
            phase.startSpeed + phase.accel * elapsedS};
}

CAxisMotion::tState CAxisMotion::StateAt(double nowS) const
{
    if (nowS < m_restS) {
        for (const tPhase& phase : m_phases)
            if (nowS < phase.startS + phase.durationS)
                return StateAfter(phase, std::max(0.0, nowS - phase.startS));
    }
    return {m_restTicks, 0.0};
}

std::int64_t CAxisMotion::PositionAt(double nowS) const
{
    // The end switches bound every motion; a position at or beyond one (or a NaN, which no plan
    // makes) is that end, so that the rounding below never leaves the range of its result.
    const double ticks = StateAt(nowS).ticks;
    if (!(ticks > m_lowerEnd))
        return m_lowerEndTicks;
    if (!(ticks < m_upperEnd))
        return m_upperEndTicks;
    return std::llround(ticks);
}

double CAxisMotion::SpeedAt(double nowS) const { return StateAt(nowS).speed; }

void CAxisMotion::Begin(double nowS)
{
    const tState state = StateAt(nowS);
    m_phases.clear();
    m_next = tPhase{nowS, 0.0, state.ticks, state.speed, 0.0};
}

void CAxisMotion::AddRamp(double toSpeed)
{
    const double fromSpeed = m_next.startSpeed;
    if ((fromSpeed > 0.0 && toSpeed < 0.0) || (fromSpeed < 0.0 && toSpeed > 0.0)) {
        AddRamp(0.0);
        AddRamp(toSpeed);
        return;
    }
    if (fromSpeed == toSpeed)
        return;
    tPhase phase = m_next;
    phase.accel = toSpeed > fromSpeed ? m_accel : -m_accel;
    phase.durationS = std::abs(toSpeed - fromSpeed) / m_accel;
    m_phases.push_back(phase);
    m_next = tPhase{phase.startS + phase.durationS, 0.0, StateAfter(phase, phase.durationS).ticks, toSpeed, 0.0};
}

void CAxisMotion::AddCruise(double durationS)
{
    if (!(durationS > 0.0) || m_next.startSpeed == 0.0)
        return;
    tPhase phase = m_next;
    phase.durationS = durationS;
    m_phases.push_back(phase);
    if (std::isfinite(durationS))
        m_next.startTicks += m_next.startSpeed * durationS;
    m_next.startS += durationS;
}

void CAxisMotion::Finish(double restTicks)
{
    m_restTicks = restTicks;
    for (std::size_t i = 0; i < m_phases.size(); ++i) {
        tPhase& phase = m_phases[i];
        // Every phase moves one way only: its starting speed or, from rest, its acceleration
        // gives the direction.
        const bool up = (phase.startSpeed != 0.0 ? phase.startSpeed : phase.accel) > 0.0;
        const double endTicks = std::isfinite(phase.durationS) ? StateAfter(phase, phase.durationS).ticks
                                : up                           ? c_inf
                                                               : -c_inf;
        if (up ? endTicks < m_upperEnd : endTicks > m_lowerEnd)
            continue;
        // The switch stops the axis where it is reached: the first time the phase covers the
        // distance to it, from p(t) = v0 t + a t^2 / 2 (written so that no difference of
        // nearly equal numbers enters).
        const double distance = (up ? m_upperEnd : m_lowerEnd) - phase.startTicks;
        if (distance == 0.0) {
            phase.durationS = 0.0;
        } else {
            const double root =
                std::sqrt(std::max(0.0, phase.startSpeed * phase.startSpeed + 2.0 * phase.accel * distance));
            const double reachS = 2.0 * distance / (phase.startSpeed + (up ? root : -root));
            phase.durationS = std::clamp(reachS, 0.0, phase.durationS);
        }
        m_phases.resize(i + 1);
        m_restTicks = up ? m_upperEnd : m_lowerEnd;
        break;
    }
    m_restS = m_phases.empty() ? m_next.startS : m_phases.back().startS + m_phases.back().durationS;
}

void CAxisMotion::MoveTo(double nowS, std::int64_t targetTicks, double speedTicksPerS)
{
    if (!(speedTicksPerS > 0.0)) {
        Stop(nowS);
        return;
    }
    Begin(nowS);
    const double target = static_cast<double>(targetTicks);
    const double speedNow = m_next.startSpeed;
    const double aheadTicks = target - m_next.startTicks;
    const double stoppingTicks = speedNow * speedNow / (2.0 * m_accel);
    if (speedNow * aheadTicks < 0.0 || (speedNow != 0.0 && stoppingTicks > std::abs(aheadTicks)))
        AddRamp(0.0); // moving away, or too fast to stop in time: back to rest first

    const double distance = std::abs(target - m_next.startTicks);
    if (distance > 0.0) {
        // From the speed in the target's direction (0 after a ramp down) to the cruising speed,
        // cruise, ramp down. The highest speed that still stops at the target is `peak`.
        const double speedIn = std::abs(m_next.startSpeed);
        const double peak = std::sqrt(m_accel * distance + 0.5 * speedIn * speedIn);
        const double cruise = std::min(speedTicksPerS, peak);
        const double rampTicks = std::abs(cruise * cruise - speedIn * speedIn) / (2.0 * m_accel);
        const double downTicks = cruise * cruise / (2.0 * m_accel);
        AddRamp(target > m_next.startTicks ? cruise : -cruise);
        AddCruise((distance - rampTicks - downTicks) / cruise);
        AddRamp(0.0);
    }
    Finish(target);
}

void CAxisMotion::RunFree(double nowS, int direction, double speedTicksPerS)
{
    if (direction == 0 || !(speedTicksPerS > 0.0)) {
        Stop(nowS);
        return;
    }
    Begin(nowS);
    AddRamp(direction > 0 ? speedTicksPerS : -speedTicksPerS);
    AddCruise(c_inf);          // never ends by itself ...
    Finish(m_next.startTicks); // ... but an end switch always cuts it
}

void CAxisMotion::Stop(double nowS)
{
    Begin(nowS);
    AddRamp(0.0);
    Finish(m_next.startTicks);
}

void CAxisMotion::Halt(double nowS)
{
    const tState state = StateAt(nowS);
    m_phases.clear();
    m_restTicks = state.ticks;
    m_restS = nowS;
}

} // namespace simstage
