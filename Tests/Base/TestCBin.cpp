#include <mem/CBin.h>

#include <utl/CUnit.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using mem::CBin;

// A copy outlives its original (ASan sees shared storage); a move leaves the source empty.
TEST(CBin, CopiesAreDeepAndMovesEmptyTheSource)
{
    const std::wstring text = L"original text that lives out of line";
    CBin copy;
    {
        CBin original;
        original.Store(text);
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
