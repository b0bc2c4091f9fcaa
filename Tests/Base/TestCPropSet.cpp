#include <utl/CPropSet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using mem::CBin;
using utl::CPropSet;

// Writers each own an ID range of `set` and replace all of `whole` at once; readers check every
// look they take. Run under TSan this also checks that the state is guarded.
TEST(CPropSet, ConcurrentReadersAndWriters)
{
    constexpr int c_writers = 2, c_iterations = 2000, c_idsPerWriter = 50;
    CPropSet set, whole;
    std::atomic<int> running{c_writers}, inconsistencies{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < c_writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < c_iterations; ++i) {
                set.SetProperty((w + 1) * 1000 + i % c_idsPerWriter, CBin::Of(std::int64_t(i)));
                set.SetProperty((w + 1) * 1000 + 999, CBin::Of(std::int64_t(i))); // short-lived
                set.DelProperty((w + 1) * 1000 + 999);
                whole.Assign({{3, CBin::Of(std::int64_t(w))}, {1, CBin::Of(std::int64_t(w))}});
            }
            --running;
        });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&, r] {
            while (running > 0) {
                const auto entries = r == 0 ? set.Snapshot() : set.Clone()->Snapshot();
                for (std::size_t i = 1; i < entries.size(); ++i)
                    if (entries[i - 1].first >= entries[i].first)
                        ++inconsistencies;
                const auto generation = whole.Snapshot();
                if (!generation.empty() && generation.front().second != generation.back().second)
                    ++inconsistencies;
            }
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(inconsistencies.load(), 0);
    ASSERT_EQ(set.Count(), std::size_t(c_writers * c_idsPerWriter));
    CBin value;
    std::int64_t got = -1;
    EXPECT_TRUE(set.GetProperty(2000 + c_idsPerWriter - 1, value) && value.Get(got));
    EXPECT_EQ(got, c_iterations - 1); // the last write to that ID
}

} // namespace
