#pragma once

#include <cmath>

#include <mem/CBin.h>
#include <plinth/PropertyIDs.h>
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

} // namespace stg::detail
