#include "CStageConfig.h"

#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>

namespace stg::detail {

bool CStageConfig::IsCurrent(const CLowLevelStage& stage) const noexcept
{
    // The outside generation first: while it holds, the axis map and so the sets below are the
    // ones read last time.
    if (!m_stageSet || stage.GetOutsideGeneration() != m_outsideGeneration)
        return false;
    if (m_stageSet->Generation() != m_stageGeneration)
        return false;
    for (const tAxis& entry : m_axes) {
        if (entry.set && entry.set->Generation() != entry.generation)
            return false;
    }
    return true;
}

int CStageConfig::CheckAxis(CLowLevelStage& stage, const Hold& held, int axis)
{
    bool enabled = false;
    const int rc = ReadAxisProperty(stage, held, axis, c_propAxisEnabled, enabled);
    if (rc != c_OK)
        return rc;
    if (!enabled)
        return c_AxisDisabled;
    bool settingLimits = false;
    ReadAxisProperty(stage, held, axis, c_propModeSetLimit, settingLimits);
    if (!settingLimits && !stage.AreLimitsDefined(held, &axis))
        return c_LimitsNotDefined;
    return c_OK;
}

void CStageConfig::Refresh(CLowLevelStage& stage, const Hold& held)
{
    // Every counter is taken before the settings it covers are read: a change that comes
    // meanwhile leaves a counter that differs at the next comparison.
    m_outsideGeneration = stage.GetOutsideGeneration();
    m_stageSet = stage.GetPropSet().get(); // made in the stage's constructor, kept for its life
    m_stageGeneration = m_stageSet->Generation();
    m_axes.clear(); // keeps the capacity: the same axes again allocate nothing
    stage.ForEachAxis([&](int axis) {
        tAxis entry;
        entry.axis = axis;
        entry.set = stage.GetAxisPropSet(axis);
        entry.generation = entry.set ? entry.set->Generation() : 0;
        std::int32_t type = eAxisNone;
        entry.typeKnown = ReadAxisProperty(stage, held, axis, c_propAxisType, type) == c_OK;
        entry.type = static_cast<EAxisType>(type);
        entry.check = CheckAxis(stage, held, axis);
        ReadAxisProperty(stage, held, axis, c_propModeSetLimit, entry.settingLimits);
        entry.limitsRead = stage.GetAxisLimits(held, axis, entry.lower, entry.upper);
        entry.calibration = Position(1.0, utl::c_mum); // kept when the read answers c_OK without a value
        entry.calibrated = ReadAxisProperty(stage, held, axis, c_propCalibration, entry.calibration) == c_OK;
        ReadAxisProperty(stage, held, axis, c_propAxisInverted, entry.inverted);
        ReadAxisProperty(stage, held, axis, c_propOffsetPosition, entry.offset);
        ReadAxisProperty(stage, held, axis, c_propOffsetSWBL, entry.swBacklash);
        m_axes.push_back(entry);
    });

    precisionEnabled = false;
    ReadStageProperty(stage, held, c_propPrecisionEnabled, precisionEnabled);
    bool backlash = false, hardware = false;
    swBacklash = ReadStageProperty(stage, held, c_propBacklashEnable, backlash) == c_OK &&
                 ReadStageProperty(stage, held, c_propUseHWBacklash, hardware) == c_OK && backlash && !hardware;
    nonOrtho = false;
    ReadStageProperty(stage, held, c_propNonOrthoEnable, nonOrtho);
    angleDeg = 90.0;
    angleRead = ReadStageProperty(stage, held, c_propAngleXY, angleDeg) == c_OK;
}

const CStageConfig::tAxis* CStageConfig::Axis(int axis) const noexcept
{
    for (const tAxis& entry : m_axes) {
        if (entry.axis == axis)
            return &entry;
    }
    return nullptr;
}

int CStageConfig::AxisFromType(EAxisType type) const noexcept
{
    for (const tAxis& entry : m_axes) {
        if (!entry.typeKnown)
            return -1;
        if (entry.type == type)
            return entry.axis;
    }
    return -1;
}

int CStageConfig::CheckTargets(const TickMap& targets) const noexcept
{
    for (const auto& entry : targets) {
        const int rc = Check(entry.first);
        if (rc != c_OK)
            return rc;
    }
    for (const auto& [axis, target] : targets) {
        const tAxis* entry = Axis(axis); // known: checked above
        if (entry->settingLimits)
            continue;
        if (entry->limitsRead != c_OK)
            return entry->limitsRead;
        if (target > entry->upper || target < entry->lower)
            return c_TargetOutOfRange;
    }
    return c_OK;
}

} // namespace stg::detail
