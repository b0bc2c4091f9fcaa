#include <plinth/driver/CLowLevelStage.h>

#include <cmath>
#include <utility>

#include <boost/make_shared.hpp>

#include <cfg/GlobalPropSets.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/tSTAGEMSG.h>

#include "SettingValues.h"

namespace stg {
namespace {

// The stored settings that the default InitImpl pushes into the driver, in this order.
constexpr int c_pushedOnInit[] = {
    c_propAxisEnabled,
    c_propAxisType,
    c_propHasLimitSwitch,
    c_propUseLimitSwitch,
    c_propHasFixedUpperLimit,
    c_propHasFixedLowerLimit,
    c_propHasLLRangeDetection,
    c_propCalibration,
    c_propMinimum,
    c_propMaximum,
    c_propPitch,
    c_propModifyPitch,
    c_propSpeed,
    c_propSpeedMin,
    c_propSpeedMax,
    c_propLastPosition,
    c_propModifySpeed,
    c_propHasAdvancedSpeed,
};

} // namespace

CLowLevelStage::CLowLevelStage(std::uint32_t stageID)
    : m_propSet(boost::make_shared<utl::CPropSet>()), m_stageID(stageID)
{
    cfg::PlugGlobalPropSet(c_cfgStageGroup, stageID, m_propSet, false);
}

CLowLevelStage::~CLowLevelStage() = default;

void CLowLevelStage::SetCaps(const tSTAGECAPS& caps)
{
    Lock lock(m_lock);
    m_caps = caps;
}

bool CLowLevelStage::AddAxis(const tAxisProps& props, bool fresh)
{
    if (props.axisNo < 0)
        return false;
    const auto entry = m_axes.insert_or_assign(props.axisNo, CAxis(props, m_propSet, fresh)).first;
    if (static_cast<std::size_t>(props.axisNo) < m_axisTable.size())
        m_axisTable[static_cast<std::size_t>(props.axisNo)] = &entry->second; // a map entry never moves
    return true;
}

CAxis* CLowLevelStage::FindAxis(int axis) { return const_cast<CAxis*>(std::as_const(*this).FindAxis(axis)); }

const CAxis* CLowLevelStage::FindAxisInMap(int axis) const
{
    auto it = m_axes.find(axis);
    return it == m_axes.end() ? nullptr : &it->second;
}

void CLowLevelStage::Fire(int msgID, int axis) const { CEventDeferral::Fire(tSTAGEMSG(msgID, m_stageID, axis)); }

template <class T>
int CLowLevelStage::ReadSettingHeld(int axis, int propID, T& value) const
{
    mem::CBin stored;
    const int rc = GetPropertyVesselImpl(axis, propID, stored);
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

// Life cycle

int CLowLevelStage::Init()
{
    return Locked([&] {
        m_axes.clear();
        m_axisTable.fill(nullptr);
        return InitImpl();
    });
}

int CLowLevelStage::Exit()
{
    Lock lock(m_lock);
    if (CheckConnection()) {
        TickMap positions;
        const int rc = GetPosition(positions, eAllAxes);
        if (rc != c_OK)
            return rc;
        for (const auto& [axis, ticks] : positions)
            WriteAxisProperty(*this, axis, c_propLastPosition, ticks);
    }
    return ExitImpl();
}

bool CLowLevelStage::CheckConnection()
{
    return Locked([&] { return CheckConnectionImpl(); });
}

unsigned int CLowLevelStage::GetAxisCount() const { return static_cast<unsigned int>(m_axes.size()); }

std::vector<int> CLowLevelStage::GetAxisList() const
{
    std::vector<int> axes;
    axes.reserve(m_axes.size());
    for (const auto& entry : m_axes)
        axes.push_back(entry.first);
    return axes;
}

EAxisType CLowLevelStage::GetAxisType(const int& axis) const
{
    const CHold held(*this);
    return GetAxisType(held, axis);
}

EAxisType CLowLevelStage::GetAxisType(const CHold& held, const int& axis) const
{
    std::int32_t type = eAxisNone;
    if (ReadAxisProperty(*this, held, axis, c_propAxisType, type) != c_OK)
        return eAxisNone;
    return static_cast<EAxisType>(type);
}

tSTAGECAPS CLowLevelStage::GetCaps() const
{
    return Locked([&] { return m_caps; });
}

// Property vessels

int CLowLevelStage::GetPropertyVessel(const int& propID, mem::CBin& value) const
{
    return Locked([&] { return GetPropertyVesselImpl(propID, value); });
}

void CLowLevelStage::SetPropertyVessel(const int& propID, const mem::CBin& value)
{
    Locked([&] { SetPropertyVesselImpl(propID, value); });
}

int CLowLevelStage::GetPropertyVessel(const int& axis, const int& propID, mem::CBin& value) const
{
    return Locked([&] { return GetPropertyVesselImpl(axis, propID, value); });
}

// The overloads with a hold call the slot at once when the hold is on this stage's lock.

int CLowLevelStage::GetPropertyVessel(const CHold& held, const int& propID, mem::CBin& value) const
{
    return held.Holds(*this) ? GetPropertyVesselImpl(propID, value) : GetPropertyVessel(propID, value);
}

int CLowLevelStage::GetPropertyVessel(const CHold& held, const int& axis, const int& propID, mem::CBin& value) const
{
    return held.Holds(*this) ? GetPropertyVesselImpl(axis, propID, value) : GetPropertyVessel(axis, propID, value);
}

int CLowLevelStage::SetPropertyVessel(const int& axis, const int& propID, const mem::CBin& value)
{
    if (!detail::IsValidSetting(propID, value))
        return c_InvalidValue;
    Lock lock(m_lock);
    // The range and the axis type are read under the same hold as the write they allow.
    double speed = 0.0;
    if (propID == c_propSpeed && value.Get(speed) && CheckSpeed(axis, speed) != c_OK)
        return c_InvalidValue;
    if (propID == c_propCalibration && !detail::IsValidCalibration(GetAxisType(axis), value))
        return c_InvalidValue;
    const int rc = SetPropertyVesselImpl(axis, propID, value);
    if (rc == c_OK) {
        if (propID == c_propCalibration)
            Fire(c_msgCalibrationChanged, axis);
        else if (propID == c_propMinimum || propID == c_propMaximum)
            Fire(c_msgLimitsChanged, axis);
    }
    return rc;
}

// Limits

bool CLowLevelStage::AreLimitsDefined(const int* axis)
{
    return Locked([&] { return AreLimitsDefinedImpl(axis); });
}

bool CLowLevelStage::AreLimitsDefined(const CHold& held, const int* axis)
{
    return held.Holds(*this) ? AreLimitsDefinedImpl(axis) : AreLimitsDefined(axis);
}

int CLowLevelStage::UndefineLimits(const Axes& axes)
{
    Lock lock(m_lock);
    const int rc = UndefineLimitsImpl(axes);
    if (rc != c_OK)
        return rc;
    for (int axis : axes)
        Fire(c_msgLimitsChanged, axis);
    return c_OK;
}

int CLowLevelStage::GetAxisLimits(const int& axis, std::int64_t& lower, std::int64_t& upper) const
{
    return Locked([&] { return GetAxisLimitsImpl(axis, lower, upper); });
}

int CLowLevelStage::GetAxisLimits(const CHold& held, const int& axis, std::int64_t& lower, std::int64_t& upper) const
{
    return held.Holds(*this) ? GetAxisLimitsImpl(axis, lower, upper) : GetAxisLimits(axis, lower, upper);
}

int CLowLevelStage::WriteLimits(const int& axis, const LimitWrites& writes)
{
    return Locked([&] {
        std::int64_t bounds[2] = {};
        bool known[2] = {ReadAxisProperty(*this, axis, c_propMinimum, bounds[0]) == c_OK,
                         ReadAxisProperty(*this, axis, c_propMaximum, bounds[1]) == c_OK};
        for (const auto& [propID, ticks] : writes) {
            if (propID != c_propMinimum && propID != c_propMaximum)
                return c_PropertyNotAccessible;
            const int bound = propID == c_propMaximum ? 1 : 0;
            bounds[bound] = ticks;
            known[bound] = true;
        }
        if (known[0] && known[1] && bounds[0] > bounds[1])
            return c_InvalidValue;
        for (const auto& [propID, ticks] : writes) {
            const int rc = WriteAxisProperty(*this, axis, propID, ticks);
            if (rc != c_OK)
                return rc;
        }
        return c_OK;
    });
}

int CLowLevelStage::SetAxisLimits(const int& axis, std::int64_t lower, std::int64_t upper)
{
    if (lower > upper)
        return c_InvalidValue;
    return Locked([&] { return SetAxisLimitsImpl(axis, lower, upper); });
}

// Ranges and user control

int CLowLevelStage::InitRanges(const Axes& axes)
{
    // The brackets are fired outside the lock: held under it, the begin events would be delivered
    // only after the driver's work.
    const std::uint64_t asked = m_stopCount.load();
    for (int axis : axes)
        Fire(c_msgInitRangesBegin, axis);
    const auto fireEnd = [&] {
        for (int axis : axes)
            Fire(c_msgInitRangesEnd, axis);
    };
    int rc;
    try {
        rc = Moving(asked, [&] { return InitRangesImpl(axes); });
    } catch (...) {
        fireEnd(); // subscribers always see the end of a range initialisation they saw begin
        throw;
    }
    fireEnd();
    return rc;
}

int CLowLevelStage::EnableUserControl(bool enable)
{
    Lock lock(m_lock);
    const int rc = EnableUserControlImpl(enable);
    if (rc == c_OK)
        Fire(enable ? c_msgUserControlOn : c_msgUserControlOff, -1);
    return rc;
}

bool CLowLevelStage::IsUserControlEnabled() const
{
    return Locked([&] { return IsUserControlEnabledImpl(); });
}

bool CLowLevelStage::IsUserControlEnabled(const CHold& held) const
{
    return held.Holds(*this) ? IsUserControlEnabledImpl() : IsUserControlEnabled();
}

// Motion

int CLowLevelStage::MoveFree(const SpeedMap& speeds)
{
    return Moving(m_stopCount.load(), [&] { return MoveFreeImpl(speeds); });
}

int CLowLevelStage::MoveToPos(const TickMap& targets)
{
    return Moving(m_stopCount.load(), [&] { return MoveToPosImpl(targets); });
}

int CLowLevelStage::MoveToPosAtSpeed(const TickMap& targets, const SpeedMap& speeds)
{
    return Moving(m_stopCount.load(), [&] { return MoveToPosAtSpeedImpl(targets, speeds); });
}

bool CLowLevelStage::IsMoving(const Axes& axes)
{
    return Locked([&] { return IsMovingImpl(axes); });
}

int CLowLevelStage::WaitForStop(const Axes& axes, std::uint32_t timeoutMs)
{
    return Moving(m_stopCount.load(), [&] { return WaitForStopImpl(axes, timeoutMs); });
}

int CLowLevelStage::SetPositionSince(const TickMap& targets, std::uint64_t stopCount)
{
    return Moving(stopCount, [&] { return SetPositionImpl(targets); });
}

int CLowLevelStage::StopMoving()
{
    ++m_stopCount; // counted before the driver hears of it: see EnableConcurrentStop
    // A concurrent stop must not queue behind the move it is meant to end.
    if (m_concurrentStop)
        return StopMovingImpl();
    return Locked([&] { return StopMovingImpl(); });
}

int CLowLevelStage::SetPosition(const TickMap& targets)
{
    return Moving(m_stopCount.load(), [&] { return SetPositionImpl(targets); });
}

int CLowLevelStage::GetPosition(TickMap& positions, const ESelection& selection)
{
    return Locked([&] { return GetPositionImpl(positions, selection); });
}

int CLowLevelStage::GotoUpperLimit(const Axes& axes)
{
    return Moving(m_stopCount.load(), [&] { return GotoUpperLimitImpl(axes); });
}

int CLowLevelStage::GotoLowerLimit(const Axes& axes)
{
    return Moving(m_stopCount.load(), [&] { return GotoLowerLimitImpl(axes); });
}

// Speeds

int CLowLevelStage::SetSpeeds(const SpeedMap& speeds)
{
    for (const auto& entry : speeds)
        if (!detail::IsValidSetting(c_propSpeed, mem::CBin::Of(entry.second)))
            return c_InvalidValue; // nothing written
    for (const auto& [axis, speed] : speeds)
        if (CheckSpeed(axis, speed) != c_OK)
            return c_InvalidValue; // outside the axis's range: nothing written
    for (const auto& [axis, speed] : speeds) {
        const int rc = WriteAxisProperty(*this, axis, c_propSpeed, speed);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CLowLevelStage::CheckSpeed(const int& axis, double speed) const
{
    if (!(std::isfinite(speed) && speed > 0.0))
        return c_InvalidValue;
    return Locked([&] {
        // A bound is read through the driver's slot; one that is absent or not positive (the
        // default records carry 0) sets no bound.
        double bound = 0.0;
        if (ReadSettingHeld(axis, c_propSpeedMin, bound) == c_OK && bound > 0.0 && speed < bound)
            return c_InvalidValue;
        bound = 0.0;
        if (ReadSettingHeld(axis, c_propSpeedMax, bound) == c_OK && bound > 0.0 && speed > bound)
            return c_InvalidValue;
        return c_OK;
    });
}

int CLowLevelStage::GetSpeeds(SpeedMap& speeds, const ESelection& selection) const
{
    if (selection == eAllAxes) {
        speeds.clear();
        for (const auto& entry : m_axes)
            speeds.emplace(entry.first, 0.0);
    }
    for (auto& [axis, speed] : speeds) {
        const int rc = ReadAxisProperty(*this, axis, c_propSpeed, speed);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

// Default driver slots

int CLowLevelStage::SetAdvancedSpeed(const int&) { return c_NotImplemented; }

int CLowLevelStage::InitImpl()
{
    for (auto& [axis, entry] : m_axes) {
        for (int propID : c_pushedOnInit) {
            mem::CBin value;
            if (entry.GetProperty(propID, value))
                SetPropertyVesselImpl(axis, propID, value);
        }
    }
    return c_OK;
}

int CLowLevelStage::ExitImpl() { return c_OK; }

bool CLowLevelStage::CheckConnectionImpl() { return true; }

int CLowLevelStage::GetPropertyVesselImpl(const int& propID, mem::CBin& value) const
{
    return m_propSet->GetProperty(propID, value) ? c_OK : c_GeneralFailure;
}

int CLowLevelStage::GetPropertyVesselImpl(const int& axis, const int& propID, mem::CBin& value) const
{
    const CAxis* entry = FindAxis(axis);
    if (!entry)
        return c_NoSuchAxis;
    return entry->GetProperty(propID, value) ? c_OK : c_PropertyNotAccessible;
}

void CLowLevelStage::SetPropertyVesselImpl(const int& propID, const mem::CBin& value)
{
    m_propSet->SetProperty(propID, value);
}

int CLowLevelStage::SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value)
{
    if (!FindAxis(axis))
        return c_NoSuchAxis;
    int rc = c_OK;
    bool enterLimitMode = false;
    if (propID == c_propModeSetLimit && value.Get(enterLimitMode) && enterLimitMode)
        rc = UndefineLimits({axis}); // fires its own event
    // Looked up again: a driver's UndefineLimitsImpl may have changed the axis map.
    if (CAxis* entry = FindAxis(axis))
        entry->SetProperty(propID, value);
    return rc;
}

bool CLowLevelStage::AreLimitsDefinedImpl(const int* axis)
{
    const auto defined = [&](int a) {
        bool enabled = false;
        if (ReadSettingHeld(a, c_propAxisEnabled, enabled) != c_OK)
            return false;
        const CAxis* entry = FindAxis(a); // looked up after the read, which a driver may answer
        return !enabled || (entry && entry->AreLimitsDefined());
    };
    if (axis)
        return FindAxis(*axis) && defined(*axis);
    for (int a : GetAxisList()) {
        if (!defined(a))
            return false;
    }
    return true;
}

int CLowLevelStage::UndefineLimitsImpl(const Axes& axes)
{
    int rc = c_OK;
    for (int axis : axes) {
        if (CAxis* entry = FindAxis(axis))
            entry->UndefineLimits();
        else
            rc = c_NoSuchAxis;
    }
    return rc;
}

int CLowLevelStage::GetAxisLimitsImpl(const int& axis, std::int64_t& lower, std::int64_t& upper) const
{
    // An output is written only when its own read succeeded.
    const int rc = ReadSettingHeld(axis, c_propMinimum, lower);
    if (rc != c_OK)
        return rc;
    return ReadSettingHeld(axis, c_propMaximum, upper);
}

int CLowLevelStage::SetAxisLimitsImpl(const int& axis, std::int64_t lower, std::int64_t upper)
{
    const int rc = WriteAxisProperty(*this, axis, c_propMinimum, lower);
    if (rc != c_OK)
        return rc;
    return WriteAxisProperty(*this, axis, c_propMaximum, upper);
}

int CLowLevelStage::EnableUserControlImpl(bool) { return c_NotImplemented; }
bool CLowLevelStage::IsUserControlEnabledImpl() const { return true; }
int CLowLevelStage::MoveFreeImpl(const SpeedMap&) { return c_NotImplemented; }
int CLowLevelStage::MoveToPosImpl(const TickMap&) { return c_NotImplemented; }
int CLowLevelStage::MoveToPosAtSpeedImpl(const TickMap&, const SpeedMap&) { return c_NotImplemented; }
bool CLowLevelStage::IsMovingImpl(const Axes&) { return false; }
int CLowLevelStage::WaitForStopImpl(const Axes&, std::uint32_t) { return c_NotImplemented; }
int CLowLevelStage::StopMovingImpl() { return c_NotImplemented; }
int CLowLevelStage::SetPositionImpl(const TickMap&) { return c_NotImplemented; }
int CLowLevelStage::GetPositionImpl(TickMap&, const ESelection&) { return c_NotImplemented; }
int CLowLevelStage::GotoUpperLimitImpl(const Axes&) { return c_NotImplemented; }
int CLowLevelStage::GotoLowerLimitImpl(const Axes&) { return c_NotImplemented; }
int CLowLevelStage::InitRangesImpl(const Axes&) { return c_NotImplemented; }

} // namespace stg
