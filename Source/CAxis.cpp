#include <plinth/driver/CAxis.h>

#include <algorithm>

#include <boost/make_shared.hpp>

#include <plinth/driver/PropertyIDs.h>
#include <trellis/AppProps.h>

namespace stg {
namespace {

// "AxisNo" of an element of "Axes"; -1 when absent or empty.
int StoredAxisNo(const utl::CPropSet& set)
{
    mem::CBin value;
    std::int32_t axisNo = -1;
    if (set.GetProperty(c_propAxisNo, value))
        value.Get(axisNo);
    return axisNo;
}

// Finds the property set of `axisNo` in the stage set's "Axes"; with `create` a new set replaces
// it (or is appended) and "Axes" is written back directly, without a vessel or an event.
boost::shared_ptr<utl::CPropSet> FindAxisSet(utl::CPropSet& stageSet, int axisNo, bool create)
{
    mem::PropSetVector sets;
    mem::CBin stored;
    if (stageSet.GetProperty(c_propAxes, stored))
        stored.Restore(sets);

    auto found =
        std::find_if(sets.begin(), sets.end(), [&](const auto& set) { return set && StoredAxisNo(*set) == axisNo; });
    if (!create)
        return found == sets.end() ? nullptr : *found;
    if (found != sets.end())
        sets.erase(found);

    auto set = boost::make_shared<utl::CPropSet>();
    set->SetProperty(c_propAxisNo, mem::CBin::Of<std::int32_t>(axisNo));
    sets.push_back(set);
    mem::CBin axes;
    axes.Store(sets);
    stageSet.SetProperty(c_propAxes, axes);
    return set;
}

template <class T>
void SetIfAbsent(utl::CPropSet& set, int propID, const T& value)
{
    if (!set.PropertyExists(propID))
        set.SetProperty(propID, mem::CBin::Of(value));
}

bool StoredBool(const utl::CPropSet& set, int propID)
{
    mem::CBin value;
    bool flag = false;
    if (set.GetProperty(propID, value))
        value.Get(flag);
    return flag;
}

// Host application setting that decides the default of "MirrorLoadPosition" on Y axes.
constexpr std::uint16_t c_hostMirrorGroup = 0xFF00;
constexpr std::uint16_t c_hostMirrorID = 0x6100;

} // namespace

CAxis::CAxis(const tAxisProps& props, const boost::shared_ptr<utl::CPropSet>& stageSet, bool fresh)
{
    if (!stageSet || props.axisNo < 0)
        return;
    m_props = FindAxisSet(*stageSet, props.axisNo, fresh);
    if (!m_props)
        m_props = FindAxisSet(*stageSet, props.axisNo, true);
    Init(props);
}

bool CAxis::SetProperty(const int& propID, const mem::CBin& value)
{
    if (!m_props)
        return false;
    m_props->SetProperty(propID, value);
    if (propID == c_propMinimum)
        m_lowerDefined = true;
    else if (propID == c_propMaximum)
        m_upperDefined = true;
    return true;
}

void CAxis::UndefineLimits()
{
    m_upperDefined = false;
    m_lowerDefined = false;
    if (m_props) {
        m_props->DelProperty(c_propMinimum);
        m_props->DelProperty(c_propMaximum);
    }
}

void CAxis::Init(const tAxisProps& props)
{
    utl::CPropSet& set = *m_props;
    SetIfAbsent<std::int32_t>(set, c_propAxisType, props.axisType);
    SetIfAbsent(set, c_propAxisEnabled, props.enabled);
    SetIfAbsent(set, c_propHasLimitSwitch, props.hasLimitSwitch);
    SetIfAbsent(set, c_propUseLimitSwitch, props.useLimitSwitch);
    SetIfAbsent(set, c_propHasFixedUpperLimit, props.hasFixedUpperLimit);
    SetIfAbsent(set, c_propHasFixedLowerLimit, props.hasFixedLowerLimit);
    SetIfAbsent(set, c_propHasLLRangeDetection, props.hasLLRangeDetection);
    if (!set.PropertyExists(c_propCalibration)) {
        mem::CBin calibration = mem::CBin::Of(props.calibration.GetValue());
        calibration.SetUnit(props.calibration.GetUnit());
        set.SetProperty(c_propCalibration, calibration);
    }
    if (props.hasFixedLowerLimit)
        SetIfAbsent(set, c_propMinimum, props.minimum);
    if (props.hasFixedUpperLimit)
        SetIfAbsent(set, c_propMaximum, props.maximum);
    SetIfAbsent(set, c_propSpeedMax, props.speedMax);
    SetIfAbsent(set, c_propSpeedMin, props.speedMin);
    SetIfAbsent(set, c_propSpeed, props.speed);
    SetIfAbsent(set, c_propModifySpeed, props.modifySpeed);
    SetIfAbsent(set, c_propModifyPitch, props.modifyPitch);
    SetIfAbsent(set, c_propPitch, props.pitch);
    SetIfAbsent(set, c_propLastPosition, props.lastPosition);
    SetIfAbsent(set, c_propHasAdvancedSpeed, props.hasAdvancedSpeed);
    SetIfAbsent(set, c_propAxisInverted, props.axisInverted);
    SetIfAbsent(set, c_propOffsetPosition, props.offsetPosition);

    // An axis never starts in limit-setting mode.
    set.SetProperty(c_propModeSetLimit, mem::CBin::Of(false));

    if (props.axisType == eAxisZ)
        SetIfAbsent(set, c_propAllowEscape, true);
    if (props.axisType == eAxisX)
        SetIfAbsent(set, c_propMirrorLoadPosition, true);
    if (props.axisType == eAxisY && !set.PropertyExists(c_propMirrorLoadPosition))
        set.SetProperty(c_propMirrorLoadPosition, mem::CBin::Of(appGetPropEx(c_hostMirrorGroup, c_hostMirrorID) == 0));

    // The flags follow the fixed-limit switches: other axes count as having limits only after
    // the limits are written again.
    m_upperDefined = StoredBool(set, c_propHasFixedUpperLimit);
    m_lowerDefined = StoredBool(set, c_propHasFixedLowerLimit);
}

} // namespace stg
