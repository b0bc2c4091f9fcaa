#include <utl/CUnit.h>

#include <array>
#include <string>

namespace utl {
namespace {

struct tUnitRow {
    EQuantity quantity;
    // Size of the unit in the smallest unit of its quantity, so that the ratio of two lengths
    // is exact wherever it can be (1 mm InPartsOf 1 µm is exactly 1000).
    double size;
    const char* symbol;
};

constexpr double c_pi = 3.14159265358979323846;

constexpr std::array<tUnitRow, 8> c_units{{
    {EQuantity::None, 1.0, ""},
    {EQuantity::Length, 1e9, "m"},
    {EQuantity::Length, 1e6, "mm"},
    {EQuantity::Length, 1e3, "µm"},
    {EQuantity::Length, 1.0, "nm"},
    {EQuantity::Angle, 1.0, "°"},
    {EQuantity::Angle, 180.0 / c_pi, "rad"},
    {EQuantity::Length, 1e7, "cm"},
}};

// Every CUnit holds a code of the table: FromCode refuses others and the constants are in it.
const tUnitRow& Row(const CUnit& unit) noexcept { return c_units[static_cast<std::size_t>(unit.GetCode())]; }

} // namespace

std::optional<CUnit> CUnit::FromCode(int code) noexcept
{
    if (code < 0 || code >= static_cast<int>(c_units.size()))
        return std::nullopt;
    return CUnit(static_cast<EUnitCode>(code));
}

std::optional<CUnit> CUnit::FromSymbol(std::string_view symbol) noexcept
{
    if (symbol == "um" || symbol == "µm" || symbol == "\u03bcm") // micro sign or Greek mu
        return c_mum;
    if (symbol == "deg")
        return c_deg;
    for (std::size_t code = 0; code < c_units.size(); ++code)
        if (symbol == c_units[code].symbol)
            return CUnit(static_cast<EUnitCode>(code));
    return std::nullopt;
}

EQuantity CUnit::GetQuantity() const noexcept { return Row(*this).quantity; }

const char* CUnit::GetSymbol() const noexcept { return Row(*this).symbol; }

double CUnit::InPartsOf(const CUnit& other) const
{
    IfIncompatibleException(*this, other);
    if (*this == other)
        return 1.0;
    return Row(*this).size / Row(other).size;
}

namespace {
std::string Describe(const CUnit& unit)
{
    return unit.IsNull() ? std::string("(no unit)") : std::string(unit.GetSymbol());
}
} // namespace

CIncompatibleUnitsError::CIncompatibleUnitsError(const CUnit& from, const CUnit& to)
    : std::invalid_argument("incompatible units: " + Describe(from) + " and " + Describe(to)), m_from(from), m_to(to)
{
}

void IfIncompatibleException(const CUnit& a, const CUnit& b)
{
    if (!a.IsCompatible(b))
        throw CIncompatibleUnitsError(a, b);
}

} // namespace utl
