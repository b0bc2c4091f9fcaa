#pragma once

#include <type_traits>

#include <utl/CUnit.h>

namespace utl {

// A value of type T (double, geo::CdVec2, geo::CdVec3) together with its unit.
//
// Sum, difference and comparison first check that the units are compatible (throwing
// CIncompatibleUnitsError otherwise), then express the right operand in the left operand's unit
// (its value times right.unit.InPartsOf(left.unit)); a result is in the left operand's unit.
// With equal units the plain values are used, so no rounding enters.
template <class T>
class TUnitValue {
public:
    TUnitValue() = default; // T{} in the null unit
    TUnitValue(const T& value, const CUnit& unit) : m_value(value), m_unit(unit) {}

    const T& GetValue() const noexcept { return m_value; }
    void SetValue(const T& value) { m_value = value; }
    const CUnit& GetUnit() const noexcept { return m_unit; }
    void SetUnit(const CUnit& unit) noexcept { m_unit = unit; }

    // This value expressed in `unit`. Throws CIncompatibleUnitsError for incompatible units.
    TUnitValue In(const CUnit& unit) const
    {
        if (unit == m_unit)
            return *this;
        return TUnitValue(m_value * m_unit.InPartsOf(unit), unit);
    }

    friend TUnitValue operator+(const TUnitValue& a, const TUnitValue& b)
    {
        return TUnitValue(a.m_value + b.ValueIn(a.m_unit), a.m_unit);
    }
    friend TUnitValue operator-(const TUnitValue& a, const TUnitValue& b)
    {
        return TUnitValue(a.m_value - b.ValueIn(a.m_unit), a.m_unit);
    }
    friend bool operator==(const TUnitValue& a, const TUnitValue& b) { return a.m_value == b.ValueIn(a.m_unit); }
    friend bool operator!=(const TUnitValue& a, const TUnitValue& b) { return !(a == b); }

    template <class U = T, class = std::enable_if_t<std::is_arithmetic_v<U>>>
    friend bool operator<(const TUnitValue& a, const TUnitValue& b)
    {
        return a.m_value < b.ValueIn(a.m_unit);
    }
    template <class U = T, class = std::enable_if_t<std::is_arithmetic_v<U>>>
    friend bool operator>(const TUnitValue& a, const TUnitValue& b)
    {
        return a.m_value > b.ValueIn(a.m_unit);
    }
    template <class U = T, class = std::enable_if_t<std::is_arithmetic_v<U>>>
    friend bool operator<=(const TUnitValue& a, const TUnitValue& b)
    {
        return a.m_value <= b.ValueIn(a.m_unit);
    }
    template <class U = T, class = std::enable_if_t<std::is_arithmetic_v<U>>>
    friend bool operator>=(const TUnitValue& a, const TUnitValue& b)
    {
        return a.m_value >= b.ValueIn(a.m_unit);
    }

private:
    T ValueIn(const CUnit& unit) const
    {
        IfIncompatibleException(unit, m_unit);
        if (unit == m_unit)
            return m_value;
        return m_value * m_unit.InPartsOf(unit);
    }

    // Value first, unit second: drivers hand this over inside binary records.
    T m_value{};
    CUnit m_unit{};
};

} // namespace utl
