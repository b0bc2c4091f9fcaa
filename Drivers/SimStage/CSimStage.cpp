#include "CSimStage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "CSteadySimClock.h"

namespace simstage {
namespace {

using stg::c_OK;

static_assert(c_noTimeLimit == stg::c_waitForever, "one value waits without limit");

stg::tAxisProps PropsOf(const tSimAxisHardware& hardware)
{
    stg::tAxisProps props;
    props.axisNo = hardware.axisNo;
    props.axisType = hardware.type;
    props.hasLimitSwitch = true;
    props.useLimitSwitch = true;
    props.hasLLRangeDetection = true; // InitRanges finds the ends; no fixed limits
    props.calibration = utl::TUnitValue<double>(hardware.tickUm, utl::c_mum);
    props.speed = hardware.speedTicksPerS;
    props.speedMin = hardware.minSpeedTicksPerS;
    props.speedMax = hardware.maxSpeedTicksPerS;
    props.modifySpeed = true;
    return props;
}

template <class Map>
stg::CLowLevelStage::Axes KeysOf(const Map& map)
{
    stg::CLowLevelStage::Axes axes;
    for (const auto& entry : map)
        axes.push_back(entry.first);
    return axes;
}

} // namespace

CSimStage::CSimStage(std::uint32_t stageID) : CSimStage(stageID, std::make_shared<CSteadySimClock>()) {}

CSimStage::CSimStage(std::uint32_t stageID, std::shared_ptr<ISimClock> clock)
    : CLowLevelStage(stageID), m_clock(std::move(clock)), m_stageSet(GetPropSet())
{
    if (!m_clock)
        throw std::invalid_argument("CSimStage needs a clock");
    EnableConcurrentStop();
    RegisterSettings();
    // The driver's own settings show in the stage set from the start; stored ones are kept.
    std::int32_t profile = eSimFull;
    if (stg::ReadStageProperty(*this, c_propSimProfile, profile) != c_OK)
        stg::WriteStageProperty(*this, c_propSimProfile, profile);
    double scale = c_defaultSimTimeScale;
    if (stg::ReadStageProperty(*this, c_propSimTimeScale, scale) != c_OK)
        stg::WriteStageProperty(*this, c_propSimTimeScale, scale);
}

CSimStage::~CSimStage() = default;

void CSimStage::RegisterSettings()
{
    utl::tPropertyInfo profile;
    profile.name = L"SimProfile";
    profile.id = c_propSimProfile;
    profile.type = mem::c_tInt;
    profile.scope = utl::EPropertyScope::Stage;
    profile.allowed = {std::to_wstring(eSimFull), std::to_wstring(eSimBlockingOnly), std::to_wstring(eSimStartedOnly)};
    profile.description = L"the controller simulated: 0 full, 1 blocking moves only, 2 started moves only";
    utl::RegisterProperty(profile);

    utl::tPropertyInfo scale;
    scale.name = L"SimTimeScale";
    scale.id = c_propSimTimeScale;
    scale.type = mem::c_tDouble;
    scale.scope = utl::EPropertyScope::Stage;
    scale.minimum = c_minTimeScale;
    scale.maximum = c_maxTimeScale;
    scale.description = L"how many times faster than real time the simulated stage runs";
    utl::RegisterProperty(scale);
}

void CSimStage::RefreshSettings()
{
    // The count is taken before the reads: a write that comes during them bumps it again, and the
    // next use reads once more.
    const std::uint64_t generation = m_stageSet->Generation();
    if (m_settingsRead && generation == m_settingsGeneration)
        return; // the stage set has not changed since the last reads
    std::int32_t profile = eSimFull;
    stg::ReadStageProperty(*this, c_propSimProfile, profile);
    double scale = c_defaultSimTimeScale;
    stg::ReadStageProperty(*this, c_propSimTimeScale, scale);
    m_profile = profile;
    m_clock->SetTimeScale(std::isfinite(scale) && scale > 0.0 ? scale : c_defaultSimTimeScale);
    m_settingsGeneration = generation;
    m_settingsRead = true;
}

bool CSimStage::OffersStartedMoves()
{
    RefreshSettings();
    return m_profile != eSimBlockingOnly;
}

bool CSimStage::OffersBlockingMoves()
{
    RefreshSettings();
    return m_profile != eSimStartedOnly;
}

ISimClock& CSimStage::Clock()
{
    RefreshSettings();
    return *m_clock;
}

bool CSimStage::IsUserControlEnabledImpl() const { return false; }

int CSimStage::ReadSpeed(int axis, double& speedTicksPerS) const
{
    const auto it = m_axes.find(axis);
    if (it == m_axes.end())
        return stg::c_NoSuchAxis;
    double speed = 0.0;
    const int rc = stg::ReadAxisProperty(*this, axis, stg::c_propSpeed, speed);
    if (rc != c_OK)
        return rc;
    if (!(speed > 0.0))
        return stg::c_GeneralFailure; // a move at speed 0 would never arrive
    speedTicksPerS = std::min(speed, it->second.hardware->maxSpeedTicksPerS);
    return c_OK;
}

int CSimStage::RequestedSpeed(int axis, const SpeedMap& requested, double& speedTicksPerS) const
{
    const auto it = m_axes.find(axis);
    if (it == m_axes.end())
        return stg::c_NoSuchAxis;
    const auto speed = requested.find(axis);
    if (speed == requested.end() || !(std::isfinite(speed->second) && speed->second > 0.0))
        return stg::c_InvalidValue;
    speedTicksPerS = std::min(speed->second, it->second.hardware->maxSpeedTicksPerS);
    return c_OK;
}

int CSimStage::ReadSpeeds(const Axes& axes, std::map<int, double>& speedsTicksPerS) const
{
    for (int axis : axes) {
        const int rc = ReadSpeed(axis, speedsTicksPerS[axis]);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

// Motions start under m_motionLock, after a last look for a stop: a stop counted before the
// look is seen by it, one counted after it finds the motion started and ramps it down.

int CSimStage::StartMoves(const TickMap& targets, const SpeedMap* requested)
{
    // In the order of the targets. Their keys are distinct, and an unknown one ends the loop
    // before its speed is stored, so no more speeds are stored than the stage has axes.
    std::array<double, std::size(c_simAxes)> speeds{};
    std::size_t count = 0;
    for (const auto& entry : targets) {
        const int rc =
            requested ? RequestedSpeed(entry.first, *requested, speeds[count]) : ReadSpeed(entry.first, speeds[count]);
        if (rc != c_OK)
            return rc;
        ++count;
    }
    ISimClock& clock = Clock();
    std::lock_guard<std::mutex> lock(m_motionLock);
    if (IsStopRequested())
        return stg::c_Stopped;
    const double nowS = clock.NowS();
    count = 0;
    for (const auto& [axis, target] : targets)
        m_axes.at(axis).motion.MoveTo(nowS, target, speeds[count++]);
    return c_OK;
}

CSimStage::SpeedMap CSimStage::TopSpeeds(const Axes& axes) const
{
    SpeedMap speeds;
    for (int axis : axes) {
        const auto it = m_axes.find(axis);
        if (it != m_axes.end())
            speeds[axis] = it->second.hardware->maxSpeedTicksPerS;
    }
    return speeds;
}

int CSimStage::StartRuns(const Axes& axes, int direction, bool topSpeed)
{
    std::map<int, double> speeds;
    const int rc = topSpeed ? c_OK : ReadSpeeds(axes, speeds);
    if (rc != c_OK)
        return rc;
    if (topSpeed) {
        for (int axis : axes)
            if (m_axes.find(axis) == m_axes.end())
                return stg::c_NoSuchAxis;
        speeds = TopSpeeds(axes);
    }
    ISimClock& clock = Clock();
    std::lock_guard<std::mutex> lock(m_motionLock);
    if (IsStopRequested())
        return stg::c_Stopped;
    const double nowS = clock.NowS();
    for (int axis : axes)
        m_axes.at(axis).motion.RunFree(nowS, direction, speeds[axis]);
    return c_OK;
}

int CSimStage::WaitForAxes(const Axes& axes, std::uint32_t timeoutMs, bool stoppable)
{
    // Short sleeps, so that a stop's new plan (a ramp down) is followed at once; the time-out is
    // counted in the sleeps asked for.
    constexpr std::uint32_t c_sliceMs = 5;
    std::uint32_t leftMs = timeoutMs;
    for (;;) {
        double untilS = -std::numeric_limits<double>::infinity();
        {
            std::lock_guard<std::mutex> lock(m_motionLock);
            for (int axis : axes) {
                const auto it = m_axes.find(axis);
                if (it == m_axes.end())
                    return stg::c_NoSuchAxis;
                untilS = std::max(untilS, it->second.motion.RestTimeS());
            }
            if (!(m_clock->NowS() < untilS))
                return stoppable && IsStopRequested() ? stg::c_Stopped : c_OK;
        }
        if (leftMs == 0)
            return stg::c_Timeout;
        const std::uint32_t sliceMs = timeoutMs == c_noTimeLimit ? c_sliceMs : std::min(c_sliceMs, leftMs);
        m_clock->WaitUntil(untilS, sliceMs);
        if (timeoutMs != c_noTimeLimit)
            leftMs -= sliceMs;
    }
}

// Life cycle

int CSimStage::InitImpl()
{
    std::map<int, tAxis> axes;
    for (const tSimAxisHardware& hardware : c_simAxes) {
        AddAxis(PropsOf(hardware), false);
        std::int64_t lastTicks = 0;
        stg::ReadAxisProperty(*this, hardware.axisNo, stg::c_propLastPosition, lastTicks);
        CAxisMotion motion(hardware.lowerEndTicks, hardware.upperEndTicks, hardware.accelTicksPerS2);
        motion.PlaceAt(lastTicks);
        axes.emplace(hardware.axisNo, tAxis{&hardware, motion});
    }
    {
        std::lock_guard<std::mutex> lock(m_motionLock);
        m_axes = std::move(axes);
    }
    return CLowLevelStage::InitImpl();
}

int CSimStage::ExitImpl()
{
    const double nowS = Clock().NowS();
    TickMap halted;
    {
        std::lock_guard<std::mutex> lock(m_motionLock);
        for (auto& [axis, entry] : m_axes) {
            if (!entry.motion.IsMovingAt(nowS))
                continue;
            entry.motion.Halt(nowS);
            halted[axis] = entry.motion.PositionAt(nowS);
        }
    }
    for (const auto& [axis, ticks] : halted)
        stg::WriteAxisProperty(*this, axis, stg::c_propLastPosition, ticks);
    return c_OK;
}

// Motion

int CSimStage::MoveFreeImpl(const SpeedMap& speeds)
{
    if (!OffersStartedMoves())
        return stg::c_NotImplemented;
    for (const auto& entry : speeds)
        if (m_axes.find(entry.first) == m_axes.end())
            return stg::c_NoSuchAxis;
    ISimClock& clock = Clock();
    std::lock_guard<std::mutex> lock(m_motionLock);
    if (IsStopRequested())
        return stg::c_Stopped;
    const double nowS = clock.NowS();
    for (const auto& [axis, signedSpeed] : speeds) {
        tAxis& entry = m_axes.at(axis);
        // The magnitude is the speed, up to the hardware's top speed; 0 (or a NaN) ramps down.
        const int direction = signedSpeed > 0.0 ? 1 : signedSpeed < 0.0 ? -1 : 0;
        const double speed = std::min(std::abs(signedSpeed), entry.hardware->maxSpeedTicksPerS);
        entry.motion.RunFree(nowS, direction, speed);
    }
    return c_OK;
}

int CSimStage::MoveToPosImpl(const TickMap& targets)
{
    if (!OffersStartedMoves())
        return stg::c_NotImplemented;
    return StartMoves(targets);
}

int CSimStage::MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds)
{
    if (!OffersStartedMoves())
        return stg::c_NotImplemented;
    return StartMoves(targets, &speeds);
}

bool CSimStage::IsMovingImpl(const Axes& axes)
{
    const double nowS = Clock().NowS();
    std::lock_guard<std::mutex> lock(m_motionLock);
    return std::any_of(axes.begin(), axes.end(), [&](int axis) {
        const auto it = m_axes.find(axis);
        return it != m_axes.end() && it->second.motion.IsMovingAt(nowS);
    });
}

int CSimStage::WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs)
{
    if (!OffersStartedMoves())
        return stg::c_NotImplemented;
    return WaitForAxes(axes, timeoutMs);
}

int CSimStage::StopMovingImpl()
{
    // No property reads here (they take the stage lock): the clock keeps the last time scale.
    Axes axes;
    {
        std::lock_guard<std::mutex> lock(m_motionLock);
        const double nowS = m_clock->NowS();
        for (auto& [axis, entry] : m_axes) {
            entry.motion.Stop(nowS);
            axes.push_back(axis);
        }
    }
    return WaitForAxes(axes, c_noTimeLimit, false);
}

int CSimStage::SetPositionImpl(const TickMap& targets)
{
    if (!OffersBlockingMoves())
        return stg::c_NotImplemented;
    const int rc = StartMoves(targets);
    return rc == c_OK ? WaitForAxes(KeysOf(targets), c_noTimeLimit) : rc;
}

int CSimStage::GetPositionImpl(TickMap& positions, const stg::ESelection& selection)
{
    const double nowS = Clock().NowS();
    std::lock_guard<std::mutex> lock(m_motionLock);
    if (selection == stg::eAllAxes) {
        positions.clear();
        for (const auto& entry : m_axes)
            positions.emplace(entry.first, 0);
    }
    for (auto& [axis, ticks] : positions) {
        const auto it = m_axes.find(axis);
        if (it == m_axes.end())
            return stg::c_NoSuchAxis;
        ticks = it->second.motion.PositionAt(nowS);
    }
    return c_OK;
}

int CSimStage::GotoUpperLimitImpl(const Axes& axes)
{
    if (!OffersBlockingMoves())
        return stg::c_NotImplemented;
    const int rc = StartRuns(axes, +1);
    return rc == c_OK ? WaitForAxes(axes, c_noTimeLimit) : rc;
}

int CSimStage::GotoLowerLimitImpl(const Axes& axes)
{
    if (!OffersBlockingMoves())
        return stg::c_NotImplemented;
    const int rc = StartRuns(axes, -1);
    return rc == c_OK ? WaitForAxes(axes, c_noTimeLimit) : rc;
}

// The search runs at each axis's top speed, as a controller homes at a search speed of its own
// whatever "Speed" says: the whole travel twice takes 10 s of simulated time for X and Y.
int CSimStage::InitRangesImpl(const Axes& axes)
{
    TickMap start, lower, upper;
    for (int axis : axes)
        start[axis] = lower[axis] = upper[axis] = 0;
    int rc = GetPositionImpl(start, stg::eGivenAxes);
    if (rc == c_OK)
        rc = StartRuns(axes, -1, true);
    if (rc == c_OK)
        rc = WaitForAxes(axes, c_noTimeLimit);
    if (rc == c_OK)
        rc = GetPositionImpl(lower, stg::eGivenAxes);
    if (rc == c_OK)
        rc = StartRuns(axes, +1, true);
    if (rc == c_OK)
        rc = WaitForAxes(axes, c_noTimeLimit);
    if (rc == c_OK)
        rc = GetPositionImpl(upper, stg::eGivenAxes);
    for (auto it = lower.begin(); rc == c_OK && it != lower.end(); ++it)
        rc = SetAxisLimits(it->first, it->second, upper[it->first]);
    const SpeedMap topSpeeds = TopSpeeds(axes);
    if (rc == c_OK)
        rc = StartMoves(start, &topSpeeds);
    return rc == c_OK ? WaitForAxes(axes, c_noTimeLimit) : rc;
}

} // namespace simstage
