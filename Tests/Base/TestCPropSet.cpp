#include <utl/CPropSet.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

using mem::CBin;
using utl::CPropSet;

std::int32_t IntOf(const CPropSet& set, int id)
{
    CBin value;
    std::int32_t out = -1;
    EXPECT_TRUE(set.GetProperty(id, value) && value.Get(out)) << id;
    return out;
}

mem::PropSetVector SetsOf(const CPropSet& set, int id)
{
    CBin value;
    mem::PropSetVector sets;
    EXPECT_TRUE(set.GetProperty(id, value) && value.Restore(sets)) << id;
    return sets;
}

CBin SetsBin(const mem::PropSetVector& sets)
{
    CBin bin;
    bin.Store(sets);
    return bin;
}

TEST(CPropSet, SetReplaceDeleteKeepIDsSortedWhateverTheOrder)
{
    std::vector<int> ids{-3, 0, 2, 7, 100};
    do {
        CPropSet set;
        for (int id : ids)
            set.SetProperty(id, CBin::Of(std::int32_t(id * 10)));
        EXPECT_TRUE(set.SetProperty(ids[0], CBin::Of(std::int32_t(ids[0] * 10)))); // replaces
        EXPECT_TRUE(set.DelProperty(ids[2]));
        EXPECT_FALSE(set.DelProperty(ids[2]));
        EXPECT_FALSE(set.PropertyExists(ids[2]));
        EXPECT_EQ(set.Count(), 4u);
        set.SetProperty(ids[2], CBin::Of(std::int32_t(ids[2] * 10)));
        ASSERT_EQ(set.GetPropertyIDs(), (std::vector<int>{-3, 0, 2, 7, 100}));
        for (int id : ids)
            EXPECT_EQ(IntOf(set, id), id * 10);
    } while (std::next_permutation(ids.begin(), ids.end()));
}

TEST(CPropSet, SnapshotAndAssign)
{
    CPropSet set;
    set.SetProperty(99, CBin());
    set.Assign({{5, CBin::Of(std::int32_t(1))},
                {2, CBin::Of(std::int32_t(2))},
                {5, CBin::Of(std::int32_t(3))},
                {-1, CBin::Of(std::int32_t(4))}});
    const std::vector<CPropSet::Entry> expected{
        {-1, CBin::Of(std::int32_t(4))}, {2, CBin::Of(std::int32_t(2))}, {5, CBin::Of(std::int32_t(3))}};
    EXPECT_EQ(set.Snapshot(), expected); // sorted, the later duplicate won, 99 is gone
    EXPECT_EQ(CPropSet(set).Snapshot(), expected);
}

TEST(CPropSet, CloneIsDeepForNestedSets)
{
    const auto inner = boost::make_shared<CPropSet>();
    inner->SetProperty(1, CBin::Of(std::int32_t(10)));
    const auto outer = boost::make_shared<CPropSet>();
    outer->SetProperty(1, SetsBin({inner}));
    CPropSet original;
    original.SetProperty(1, SetsBin({outer, nullptr}));
    original.SetProperty(2, CBin::Of(std::int32_t(20)));

    EXPECT_EQ(SetsOf(CPropSet(original), 1).front(), outer); // a plain copy shares nested sets

    const auto clone = original.Clone();
    EXPECT_EQ(IntOf(*clone, 2), 20);
    const auto level1 = SetsOf(*clone, 1);
    ASSERT_EQ(level1.size(), 2u);
    EXPECT_EQ(level1[1], nullptr);
    ASSERT_NE(level1[0], outer);
    const auto level2 = SetsOf(*level1[0], 1);
    ASSERT_EQ(level2.size(), 1u);
    ASSERT_NE(level2[0], inner);

    level2[0]->SetProperty(1, CBin::Of(std::int32_t(11)));
    level1[0]->DelProperty(1);
    EXPECT_EQ(IntOf(*inner, 1), 10);
    EXPECT_TRUE(outer->PropertyExists(1));
}

// Writers each own an ID range of `set`, another thread replaces all of `whole` at once, readers
// check every look they take. Run under TSan this also checks that the state is guarded.
TEST(CPropSet, ConcurrentReadersAndWriters)
{
    constexpr int c_writers = 2, c_iterations = 2000, c_idsPerWriter = 50;
    CPropSet set, whole;
    std::atomic<int> running{c_writers + 1};
    std::atomic<int> inconsistencies{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < c_writers; ++w)
        threads.emplace_back([&, w] {
            const int base = (w + 1) * 1000;
            for (int i = 0; i < c_iterations; ++i) {
                set.SetProperty(base + i % c_idsPerWriter, CBin::Of(std::int64_t(i)));
                set.SetProperty(base + 999, CBin::Of(std::int64_t(i))); // short-lived
                set.DelProperty(base + 999);
            }
            --running;
        });
    threads.emplace_back([&] {
        for (int i = 0; i < c_iterations; ++i) {
            const CBin value = CBin::Of(std::int64_t(i));
            whole.Assign({{3, value}, {1, value}, {2, value}});
        }
        --running;
    });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&, r] {
            while (running > 0) {
                const auto entries = r == 0 ? set.Snapshot() : set.Clone()->Snapshot();
                for (std::size_t i = 0; i < entries.size(); ++i)
                    if ((i > 0 && entries[i - 1].first >= entries[i].first) ||
                        entries[i].second.GetTypeCode() != mem::c_tInt64)
                        ++inconsistencies;
                const auto generation = whole.Snapshot();
                for (const auto& entry : generation)
                    if (entry.second != generation.front().second)
                        ++inconsistencies;
                CBin value;
                std::int64_t got = -1;
                if (set.Count() > std::size_t(c_writers * (c_idsPerWriter + 1)) ||
                    (set.GetProperty(1000, value) && (!value.Get(got) || got % c_idsPerWriter != 0)))
                    ++inconsistencies;
            }
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(inconsistencies.load(), 0);
    ASSERT_EQ(set.Count(), std::size_t(c_writers * c_idsPerWriter));
    for (int w = 0; w < c_writers; ++w)
        for (int k = 0; k < c_idsPerWriter; ++k) {
            CBin value;
            std::int64_t got = -1;
            EXPECT_TRUE(set.GetProperty((w + 1) * 1000 + k, value) && value.Get(got));
            EXPECT_EQ(got, c_iterations - c_idsPerWriter + k); // the last write to that ID
        }
}

} // namespace
