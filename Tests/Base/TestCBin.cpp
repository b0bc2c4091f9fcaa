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
// output holding its sentinel. Under ASan a read past the stored bytes fails too.
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
        {"int64 without elements", Reserved(mem::c_tInt64, 0), mem::c_tEmpty}, // right code, no bytes
    };
    for (const auto& c : cases) {
        ExpectRead<std::int32_t>(c.bin, c.readableAs == mem::c_tInt, c_int, -7, c.what);
        ExpectRead<std::int64_t>(c.bin, c.readableAs == mem::c_tInt64, c_int64, -7, c.what);
        ExpectRead<double>(c.bin, c.readableAs == mem::c_tDouble, c_double, -7.5, c.what);
        ExpectRead<bool>(c.bin, c.readableAs == mem::c_tBool, c_bool, true, c.what);
    }
    for (int code : {int(mem::c_tEmpty), int(mem::c_tWString), int(mem::c_tPropSets), 999})
        EXPECT_THROW(Reserved(code, 1), std::invalid_argument) << code;
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
    EXPECT_FALSE(set.GetProperty(4, absent));
    ExpectRead(absent, true, c_int, 0, "untouched");
}

// Each kind restores from its own kind only; any other restore answers false and leaves the
// output untouched.
TEST(CBin, StoreAndRestore)
{
    using Sets = mem::PropSetVector;
    const auto a = boost::make_shared<utl::CPropSet>(), b = boost::make_shared<utl::CPropSet>();
    const std::wstring text = L"Tisch \u00b5-Stufe \u2603";
    const struct {
        const char* what;
        CBin bin;
        std::optional<std::wstring> text;
        std::optional<Sets> sets; // the very same set objects
    } cases[] = {
        {"text", Stored(text), text, {}},
        {"empty text", Stored(std::wstring()), L"", {}},
        {"sets", Stored(Sets{a, b}), {}, Sets{a, b}},
        {"no sets", Stored(Sets{}), {}, Sets{}},
        {"double", CBin::Of(c_double), {}, {}},
        {"default", CBin(), {}, {}},
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

// A copy outlives its original (ASan sees shared storage); a move leaves the source empty.
TEST(CBin, CopiesAreDeepAndMovesEmptyTheSource)
{
    const std::wstring text = L"original text that lives out of line";
    CBin copy;
    {
        CBin original = Stored(text);
        original.SetUnit(utl::c_mum);
        copy = original;
        CBin changed(original);
        changed.Store(L"changed");
        std::wstring out;
        ASSERT_TRUE(original.Restore(out));
        EXPECT_EQ(out, text);
    }
    std::wstring out;
    ASSERT_TRUE(copy.Restore(out));
    EXPECT_EQ(out, text);
    EXPECT_TRUE(copy.HasUnit());

    const CBin expected = copy;
    CBin moved(std::move(copy));
    EXPECT_EQ(moved, expected);
    EXPECT_TRUE(copy.IsEmpty()); // NOLINT(bugprone-use-after-move): the contract under test
    EXPECT_FALSE(copy.HasUnit());
}

} // namespace
