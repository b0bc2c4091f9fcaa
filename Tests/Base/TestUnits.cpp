#include <geo/CdVec2.h>
#include <utl/CUnit.h>
#include <utl/TUnitValue.h>

#include <gtest/gtest.h>

#include <exception>

namespace {

using utl::CUnit;
using Length = utl::TUnitValue<double>;
using Position = utl::TUnitValue<geo::CdVec2>;

constexpr double c_pi = 3.14159265358979323846;

TEST(Units, InPartsOfAndConvert)
{
    EXPECT_EQ(utl::c_mm.InPartsOf(utl::c_mum), 1000.0); // decimal lengths come out exact
    EXPECT_EQ(utl::c_nm.InPartsOf(utl::c_mum), 0.001);
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
        EXPECT_DOUBLE_EQ(utl::Convert(3.0 * c.parts, c.other, c.unit), 3.0);
    }
    EXPECT_EQ(utl::Convert(2.5, utl::c_mm, utl::c_mum), 2500.0);
    EXPECT_EQ(utl::Convert(2500.0, utl::c_mum, utl::c_mm), 2.5);
    EXPECT_EQ(utl::Convert(0.1, utl::c_rad, utl::c_rad), 0.1);
}

TEST(Units, IncompatibleUnitsThrow)
{
    const std::pair<CUnit, CUnit> pairs[] = {
        {utl::c_mum, utl::c_deg}, {utl::c_deg, utl::c_mum}, {utl::c_mum, utl::c_null}, {utl::c_null, utl::c_rad}};
    for (const auto& [a, b] : pairs) {
        try {
            utl::IfIncompatibleException(a, b);
            ADD_FAILURE() << a.GetSymbol() << " vs " << b.GetSymbol() << " did not throw";
        } catch (const utl::CIncompatibleUnitsError& error) {
            EXPECT_EQ(error.From(), a);
            EXPECT_EQ(error.To(), b);
            EXPECT_NE(static_cast<const std::exception&>(error).what(), std::string());
        }
        EXPECT_THROW(a.InPartsOf(b), utl::CIncompatibleUnitsError);
        EXPECT_THROW(utl::Convert(1.0, a, b), utl::CIncompatibleUnitsError);
    }
    EXPECT_NO_THROW(utl::IfIncompatibleException(utl::c_nm, utl::c_m));
    EXPECT_NO_THROW(utl::IfIncompatibleException(utl::c_null, utl::c_null));
}

TEST(Units, FromSymbolAndFromCode)
{
    const std::pair<const char*, CUnit> known[] = {
        {"m", utl::c_m},         {"mm", utl::c_mm}, {"um", utl::c_mum},  {"\u00b5m", utl::c_mum},
        {"\u03bcm", utl::c_mum}, {"nm", utl::c_nm}, {"deg", utl::c_deg}, {"\u00b0", utl::c_deg},
        {"rad", utl::c_rad},     {"", utl::c_null}};
    for (const auto& [symbol, unit] : known)
        EXPECT_EQ(CUnit::FromSymbol(symbol), unit) << symbol;
    for (const char* unknown : {"furlong", "MM", "\u00b5", " mm"})
        EXPECT_EQ(CUnit::FromSymbol(unknown), std::nullopt) << unknown;

    for (int code = 0; code <= 6; ++code) {
        const auto unit = CUnit::FromCode(code);
        ASSERT_TRUE(unit) << code;
        EXPECT_EQ(unit->GetCode(), code);
        EXPECT_EQ(CUnit::FromSymbol(unit->GetSymbol()), unit) << code; // symbols round-trip
    }
    for (int code : {-1, 7})
        EXPECT_EQ(CUnit::FromCode(code), std::nullopt) << code;
}

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
    EXPECT_EQ((Length(0.1, utl::c_nm) + Length(0.2, utl::c_nm)).GetValue(), 0.1 + 0.2); // plain values
    EXPECT_EQ((Length(3.0, utl::c_null) - Length(1.0, utl::c_null)).GetValue(), 2.0);
    EXPECT_DOUBLE_EQ(mm1.In(utl::c_nm).GetValue(), 1e6);

    for (const Length& other : {Length(1.0, utl::c_deg), Length(1.0, utl::c_null)}) {
        EXPECT_THROW(um500 + other, utl::CIncompatibleUnitsError);
        EXPECT_THROW(other - um500, utl::CIncompatibleUnitsError);
        EXPECT_THROW((void)(um500 == other), utl::CIncompatibleUnitsError);
        EXPECT_THROW((void)(um500 < other), utl::CIncompatibleUnitsError);
        EXPECT_THROW(um500.In(other.GetUnit()), utl::CIncompatibleUnitsError);
    }
}

TEST(Units, UnitValueOfVectorsConvertsEachComponent)
{
    const Position sum = Position({1.0, 2.0}, utl::c_mm) + Position({500.0, -250.0}, utl::c_mum);
    EXPECT_EQ(sum.GetUnit(), utl::c_mm);
    EXPECT_DOUBLE_EQ(sum.GetValue().x, 1.5);
    EXPECT_DOUBLE_EQ(sum.GetValue().y, 1.75);
    EXPECT_TRUE(Position({1.0, 0.0}, utl::c_mm) == Position({1000.0, 0.0}, utl::c_mum));
    EXPECT_THROW(Position({1.0, 0.0}, utl::c_mm) - Position({}, utl::c_rad), utl::CIncompatibleUnitsError);
}

} // namespace
