#pragma once

#include <cmath>
#include <cstdint>

#include <mem/CBin.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/StageTypes.h>
#include <utl/CUnit.h>
#include <utl/TUnitValue.h>

namespace stg::detail {

// Numbers that may reach a driver. A stage never moves on a number that is not finite: such a
// value becomes no target, limit, calibration, offset, angle or speed.

inline bool IsFinite(double value) noexcept { return std::isfinite(value); }
inline bool IsFinite(const utl::TUnitValue<double>& value) noexcept { return std::isfinite(value.GetValue()); }

inline bool IsSpeedSetting(int propID) noexcept
{
    return propID == c_propSpeed || propID == c_propSpeedMin || propID == c_propSpeedMax;
}

// Whether a stage or axis setting may take `value`: a stored double (with or without a unit) must
// be finite, and a speed setting positive. Values of other types pass.
inline bool IsValidSetting(int propID, const mem::CBin& value) noexcept
{
    double number = 0.0;
    if (!value.Get(number))
        return true;
    return std::isfinite(number) && (!IsSpeedSetting(propID) || number > 0.0);
}

// Whether an axis of `axisType` may take `calibration` (the length of one tick): a positive
// finite number, and for the linear axes X, Y and Z a length. Zero converts every position to no
// tick at all and a negative length is not a direction ("AxisInverted" is), so neither is allowed.
inline bool IsValidCalibration(std::int32_t axisType, double value, const utl::CUnit& unit) noexcept
{
    if (!(std::isfinite(value) && value > 0.0))
        return false;
    const bool linear = axisType == eAxisX || axisType == eAxisY || axisType == eAxisZ;
    return !linear || unit.GetQuantity() == utl::EQuantity::Length;
}

inline bool IsValidCalibration(std::int32_t axisType, const utl::TUnitValue<double>& calibration) noexcept
{
    return IsValidCalibration(axisType, calibration.GetValue(), calibration.GetUnit());
}

// The same for a stored value; a value that is not a number is left to the type checks.
inline bool IsValidCalibration(std::int32_t axisType, const mem::CBin& value) noexcept
{
    double number = 0.0;
    if (!value.Get(number))
        return true;
    utl::CUnit unit;
    value.GetUnit(unit);
    return IsValidCalibration(axisType, number, unit);
}

} // namespace stg::detail
