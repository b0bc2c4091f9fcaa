#include <geo/CdVec2.h>
#include <utl/CUnit.h>
#include <utl/TUnitValue.h>

#include <gtest/gtest.h>

namespace {

using utl::CUnit;
using Length = utl::TUnitValue<double>;
using Position = utl::TUnitValue<geo::CdVec2>;

constexpr double c_pi = 3.14159265358979323846;

// Exact for decimal lengths; units of different kinds throw.
TEST(Units, InPartsOfAndConvert)
{
    EXPECT_EQ(utl::c_mm.InPartsOf(utl::c_mum), 1000.0); // decimal lengths come out exact
    EXPECT_EQ(utl::c_nm.InPartsOf(utl::c_mum), 0.001);
    EXPECT_EQ(utl::Convert(2.5, utl::c_mm, utl::c_mum), 2500.0);
    EXPECT_EQ(utl::Convert(2500.0, utl::c_mum, utl::c_mm), 2.5);
    const struct {
        CUnit unit, other;
        double parts;
    } cases[] = {
        {utl::c_m, utl::c_nm, 1e9},      {utl::c_mum, utl::c_mm, 1e-3},        {utl::c_mum, utl::c_mum, 1.0},
        {utl::c_null, utl::c_null, 1.0}, {utl::c_rad, utl::c_deg, 180 / c_pi}, {utl::c_deg, utl::c_rad, c_pi / 180},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(c.unit.InPartsOf(c.other), c.parts) << c.unit.GetSymbol() << " in " << c.other.GetSymbol();
        EXPECT_DOUBLE_EQ(utl::Convert(3.0, c.unit, c.other), 3.0 * c.parts);
    }
    for (int code : {0, 1, 2, 3, 4, 5, 6}) // every unit's code and symbol lead back to it
        EXPECT_EQ(CUnit::FromSymbol(CUnit::FromCode(code).value().GetSymbol())->GetCode(), code);
    EXPECT_EQ(CUnit::FromCode(7), std::nullopt);
    EXPECT_EQ(CUnit::FromSymbol("furlong"), std::nullopt);

    const std::pair<CUnit, CUnit> incompatible[] = {
        {utl::c_mum, utl::c_deg}, {utl::c_mum, utl::c_null}, {utl::c_null, utl::c_rad}};
    for (const auto& [a, b] : incompatible) {
        EXPECT_THROW(a.InPartsOf(b), utl::CIncompatibleUnitsError);
        EXPECT_THROW(utl::Convert(1.0, b, a), utl::CIncompatibleUnitsError);
    }
}

// Sums, differences and comparisons convert the right operand into the left one's unit.
TEST(Units, UnitValueArithmeticUsesTheLeftUnit)
{
    const Length mm1(1.0, utl::c_mm), um500(500.0, utl::c_mum), um1000(1000.0, utl::c_mum);
    const struct {
        Length result, expected;
    } sums[] = {{mm1 + um500, {1.5, utl::c_mm}},
                {um500 + mm1, {1500.0, utl::c_mum}},
                {um500 - mm1, {-500.0, utl::c_mum}},
                {mm1 - um500, {0.5, utl::c_mm}}};
    for (const auto& s : sums) {
        EXPECT_EQ(s.result.GetUnit(), s.expected.GetUnit());
        EXPECT_DOUBLE_EQ(s.result.GetValue(), s.expected.GetValue());
    }
    EXPECT_TRUE(mm1 == um1000 && um1000 == mm1 && !(mm1 != um1000));
    EXPECT_TRUE(um500 < mm1 && mm1 > um500 && mm1 <= um1000 && mm1 >= um1000);
    EXPECT_FALSE(mm1 < um500 || um500 > mm1);
    const Position sum = Position({1.0, 2.0}, utl::c_mm) + Position({500.0, -250.0}, utl::c_mum);
    EXPECT_DOUBLE_EQ(sum.GetValue().x, 1.5);
    EXPECT_DOUBLE_EQ(sum.GetValue().y, 1.75);

    for (const Length& other : {Length(1.0, utl::c_deg), Length(1.0, utl::c_null)}) {
        EXPECT_THROW(um500 + other, utl::CIncompatibleUnitsError);
        EXPECT_THROW(other - um500, utl::CIncompatibleUnitsError);
        EXPECT_THROW((void)(um500 == other), utl::CIncompatibleUnitsError);
        EXPECT_THROW((void)(um500 < other), utl::CIncompatibleUnitsError);
    }
}

} // namespace
