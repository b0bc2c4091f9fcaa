#include <mem/CBin.h>
#include <utl/CPropSet.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace {

using mem::CBin;

constexpr std::int32_t c_int = 42;
constexpr std::int64_t c_int64 = std::int64_t(1) << 40;
constexpr double c_double = 2.5;
constexpr bool c_bool = false; // the read sentinel is true, so a successful read is visible

template <class V>
CBin Stored(const V& value)
{
    CBin bin;
    bin.Store(value);
    return bin;
}

CBin Reserved(int typeCode, std::size_t count)
{
    CBin bin;
    bin.Reserve(typeCode, count);
    return bin;
}

// A readable value must come out as `expected`; any other read answers false and leaves the
// output holding its sentinel.
template <class T>
void ExpectRead(const CBin& bin, bool readable, T expected, T sentinel, const char* what)
{
    T out = sentinel;
    EXPECT_EQ(bin.Get(out), readable) << what;
    EXPECT_EQ(out, readable ? expected : sentinel) << what;
}

TEST(CBin, TypedReadsAnswerOnlyForTheStoredType)
{
    const struct {
        const char* what;
        CBin bin;
        int readableAs; // c_tEmpty: not readable as any scalar
    } cases[] = {
        {"int", CBin::Of(c_int), mem::c_tInt},
        {"int64", CBin::Of(c_int64), mem::c_tInt64},
        {"double", CBin::Of(c_double), mem::c_tDouble},
        {"bool", CBin::Of(c_bool), mem::c_tBool},
        {"wide string", Stored(std::wstring(L"12345678")), mem::c_tEmpty},
        {"set vector", Stored(mem::PropSetVector{boost::make_shared<utl::CPropSet>()}), mem::c_tEmpty},
        {"default", CBin(), mem::c_tEmpty},
        {"empty string", Stored(std::wstring()), mem::c_tEmpty},
        {"int64 without elements", Reserved(mem::c_tInt64, 0), mem::c_tEmpty}, // right code, no bytes
    };
    for (const auto& c : cases) {
        ExpectRead<std::int32_t>(c.bin, c.readableAs == mem::c_tInt, c_int, -7, c.what);
        ExpectRead<std::int64_t>(c.bin, c.readableAs == mem::c_tInt64, c_int64, -7, c.what);
        ExpectRead<double>(c.bin, c.readableAs == mem::c_tDouble, c_double, -7.5, c.what);
        ExpectRead<bool>(c.bin, c.readableAs == mem::c_tBool, c_bool, true, c.what);
    }
}

TEST(CBin, ReserveTakesScalarCodesOnly)
{
    for (int code : {int(mem::c_tEmpty), int(mem::c_tWString), int(mem::c_tPropSets), 1, 999})
        EXPECT_THROW(Reserved(code, 1), std::invalid_argument) << code;

    // More than fits inline: zeroed, writable, and typed reads see the first element.
    CBin bin = Stored(std::wstring(L"previous"));
    auto* values = static_cast<double*>(bin.Reserve(mem::c_tDouble, 5));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(values[i], 0.0);
    values[0] = 1.25;
    EXPECT_EQ(bin.GetSize(), 5 * sizeof(double));
    ExpectRead(bin, true, 1.25, 0.0, "array");
}

TEST(CBin, EmptyValueIsPresentInAPropertySet)
{
    utl::CPropSet set;
    set.SetProperty(1, CBin());
    set.SetProperty(2, Stored(std::wstring()));
    set.SetProperty(3, Stored(mem::PropSetVector{}));
    for (int id : {1, 2, 3}) {
        CBin value = CBin::Of(c_int);
        EXPECT_TRUE(set.GetProperty(id, value));
        EXPECT_TRUE(value.IsEmpty());
    }
    CBin absent = CBin::Of(c_int);
    EXPECT_FALSE(set.PropertyExists(4));
    EXPECT_FALSE(set.GetProperty(4, absent));
    ExpectRead(absent, true, c_int, 0, "untouched");
}

TEST(CBin, UnitSurvivesCopyAndMoveButNotReinitialisation)
{
    CBin original = CBin::Of(c_double);
    original.SetUnit(utl::c_mum);
    CBin assigned;
    assigned = original;
    CBin temporary(original);
    const CBin copies[] = {CBin(original), assigned, CBin(std::move(temporary))};
    for (const CBin& bin : copies) {
        utl::CUnit unit;
        EXPECT_TRUE(bin.GetUnit(unit));
        EXPECT_EQ(unit, utl::c_mum);
    }

    const std::pair<const char*, void (*)(CBin&)> changes[] = {
        {"InitEmpty", [](CBin& b) { b.InitEmpty(); }},
        {"Reserve", [](CBin& b) { b.Reserve(mem::c_tDouble, 1); }},
        {"Set", [](CBin& b) { b.Set(1.0); }},
        {"Store", [](CBin& b) { b.Store(L"x"); }},
    };
    for (const auto& [what, change] : changes) {
        CBin bin = original;
        change(bin);
        utl::CUnit unit = utl::c_deg;
        EXPECT_FALSE(bin.GetUnit(unit)) << what;
        EXPECT_EQ(unit, utl::c_null) << what;
    }
}

// Each kind restores from its own kind only; any other restore answers false and leaves the
// output untouched.
TEST(CBin, StoreAndRestore)
{
    using Sets = mem::PropSetVector;
    const auto a = boost::make_shared<utl::CPropSet>(), b = boost::make_shared<utl::CPropSet>();
    const std::wstring text = L"Tisch \u00b5-Stufe \u2603", longText(300, L'z');
    const struct {
        const char* what;
        CBin bin;
        std::optional<std::wstring> text;
        std::optional<Sets> sets; // the very same set objects
    } cases[] = {
        {"text", Stored(text), text, {}},
        {"long text", Stored(longText), longText, {}},
        {"empty text", Stored(std::wstring()), L"", {}},
        {"sets", Stored(Sets{a, b}), {}, Sets{a, b}},
        {"no sets", Stored(Sets{}), {}, Sets{}},
        {"double", CBin::Of(c_double), {}, {}},
        {"default", CBin(), {}, {}},
        {"empty int", Reserved(mem::c_tInt, 0), {}, {}},
    };
    const Sets marker{boost::make_shared<utl::CPropSet>()};
    for (const auto& c : cases) {
        std::wstring textOut = L"untouched";
        Sets setsOut = marker;
        EXPECT_EQ(c.bin.Restore(textOut), c.text.has_value()) << c.what;
        EXPECT_EQ(textOut, c.text.value_or(L"untouched")) << c.what;
        EXPECT_EQ(c.bin.Restore(setsOut), c.sets.has_value()) << c.what;
        EXPECT_EQ(setsOut, c.sets.value_or(marker)) << c.what;
    }
}

TEST(CBin, CopiesAreDeep)
{
    const std::wstring text = L"original text that lives out of line";
    CBin copy;
    {
        CBin original = Stored(text);
        copy = original;
        EXPECT_NE(copy.privGetPtr(), original.privGetPtr());
        CBin changed(original);
        changed.Store(L"changed");
        std::wstring out;
        ASSERT_TRUE(original.Restore(out));
        EXPECT_EQ(out, text);
    }
    std::wstring out; // the original is gone; the copy must not depend on its storage
    ASSERT_TRUE(copy.Restore(out));
    EXPECT_EQ(out, text);
}

TEST(CBin, MoveLeavesTheSourceEmpty)
{
    for (CBin source : {CBin::Of(c_double), Stored(std::wstring(L"moved text, long enough for the heap"))}) {
        source.SetUnit(utl::c_mm);
        const CBin expected = source;
        CBin constructed(std::move(source));
        CBin assigned = CBin::Of(c_int);
        assigned = std::move(constructed);
        EXPECT_EQ(assigned, expected);
        for (const CBin* moved : {&source, &constructed}) { // NOLINT(bugprone-use-after-move)
            EXPECT_TRUE(moved->IsEmpty());
            EXPECT_EQ(moved->GetTypeCode(), mem::c_tEmpty);
            EXPECT_FALSE(moved->HasUnit());
        }
    }
}

} // namespace
