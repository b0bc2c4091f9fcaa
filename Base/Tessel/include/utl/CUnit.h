#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace utl {

// What a unit measures. Units convert into one another only within one quantity.
enum class EQuantity { None, Length, Angle };

// Stored unit codes. Code 0 is the null unit: a value without a physical unit. The codes are
// persisted with property values, so existing numbers never change meaning.
enum class EUnitCode : int {
    Null = 0,
    Metre = 1,
    Millimetre = 2,
    Micrometre = 3,
    Nanometre = 4,
    Degree = 5,
    Radian = 6,
    Centimetre = 7
};

// A physical unit. A small value type (one int) that is cheap to copy and compare.
class CUnit {
public:
    constexpr CUnit() noexcept = default;
    constexpr explicit CUnit(EUnitCode code) noexcept : m_code(code) {}

    // The unit stored under `code`, or nothing for a code this library does not know.
    static std::optional<CUnit> FromCode(int code) noexcept;
    // Parses a unit symbol: "m", "cm", "mm", "um", "µm", "nm", "deg", "°", "rad"; "" is the null unit.
    static std::optional<CUnit> FromSymbol(std::string_view symbol) noexcept;

    constexpr int GetCode() const noexcept { return static_cast<int>(m_code); }
    constexpr bool IsNull() const noexcept { return m_code == EUnitCode::Null; }
    EQuantity GetQuantity() const noexcept;
    // UTF-8 symbol, "µm" for the micrometre; "" for the null unit.
    const char* GetSymbol() const noexcept;

    bool IsCompatible(const CUnit& other) const noexcept { return GetQuantity() == other.GetQuantity(); }
    // How many `other` make one of this unit (1 mm InPartsOf 1 µm is 1000).
    // Throws CIncompatibleUnitsError when the two measure different quantities.
    double InPartsOf(const CUnit& other) const;

    constexpr bool operator==(const CUnit& other) const noexcept { return m_code == other.m_code; }
    constexpr bool operator!=(const CUnit& other) const noexcept { return m_code != other.m_code; }

private:
    EUnitCode m_code = EUnitCode::Null;
};

inline constexpr CUnit c_null{EUnitCode::Null};
inline constexpr CUnit c_m{EUnitCode::Metre};
inline constexpr CUnit c_cm{EUnitCode::Centimetre};
inline constexpr CUnit c_mm{EUnitCode::Millimetre};
inline constexpr CUnit c_mum{EUnitCode::Micrometre};
inline constexpr CUnit c_nm{EUnitCode::Nanometre};
inline constexpr CUnit c_deg{EUnitCode::Degree};
inline constexpr CUnit c_rad{EUnitCode::Radian};

// Thrown by every unit operation that is asked to relate two units of different quantities
// (micrometres and degrees, or a physical unit and the null unit).
class CIncompatibleUnitsError : public std::invalid_argument {
public:
    CIncompatibleUnitsError(const CUnit& from, const CUnit& to);
    const CUnit& From() const noexcept { return m_from; }
    const CUnit& To() const noexcept { return m_to; }

private:
    CUnit m_from;
    CUnit m_to;
};

// Throws CIncompatibleUnitsError unless `a` and `b` measure the same quantity.
void IfIncompatibleException(const CUnit& a, const CUnit& b);

// `value` given in `from`, expressed in `to`: value * from.InPartsOf(to).
// Throws CIncompatibleUnitsError for incompatible units; equal units return `value` untouched.
inline double Convert(double value, const CUnit& from, const CUnit& to)
{
    return from == to ? value : value * from.InPartsOf(to);
}

} // namespace utl
