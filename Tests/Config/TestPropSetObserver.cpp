// The change notification of utl::CPropSet that the configuration database relies on.

#include <utl/CPropSet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "ConfigTestSupport.h"

namespace {

using cfgtest::Int;
using utl::CPropSet;

class CCounter : public utl::IPropSetObserver {
public:
    void OnPropSetChanged(const CPropSet& set) noexcept override
    {
        ++count;
        last = &set;
        if (onChange)
            onChange(set);
    }
    std::atomic<int> count{0};
    std::atomic<const CPropSet*> last{nullptr};
    std::function<void(const CPropSet&)> onChange;
};

struct tChange {
    const char* name;
    std::function<void(CPropSet&)> change;
    int notifications;
};

TEST(PropSetObserver, EveryChangeNotifiesOnceAndNothingElseDoes)
{
    const std::vector<tChange> changes{
        {"SetProperty of a new ID", [](CPropSet& s) { s.SetProperty(9, Int(9)); }, 1},
        {"SetProperty replacing a value", [](CPropSet& s) { s.SetProperty(1, Int(2)); }, 1},
        {"SetProperty of the same value", [](CPropSet& s) { s.SetProperty(1, Int(1)); }, 1},
        {"DelProperty of a present ID", [](CPropSet& s) { s.DelProperty(1); }, 1},
        {"DelProperty of an absent ID", [](CPropSet& s) { s.DelProperty(42); }, 0},
        {"Assign",
         [](CPropSet& s) {
             s.Assign({{3, Int(3)}});
         },
         1},
        {"Clear", [](CPropSet& s) { s.Clear(); }, 1},
        {"assignment from another set", [](CPropSet& s) { s = CPropSet(); }, 1},
        {"reads",
         [](CPropSet& s) {
             mem::CBin value;
             s.GetProperty(1, value);
             s.PropertyExists(1);
             s.Count();
             s.GetPropertyIDs();
             s.Snapshot();
             s.Clone();
             CPropSet copy(s);
         },
         0},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        CPropSet set;
        set.SetProperty(1, Int(1));
        auto counter = std::make_shared<CCounter>();
        set.SetObserver(counter);
        EXPECT_EQ(set.GetObserver(), counter);
        c.change(set);
        EXPECT_EQ(counter->count, c.notifications);
        if (c.notifications) {
            EXPECT_EQ(counter->last, &set);
        }
    }
}

TEST(PropSetObserver, CopiesAndClonesDoNotTakeTheObserverAndNestedSetsNotifyOnlyTheirOwn)
{
    auto counter = std::make_shared<CCounter>();
    const auto nested = cfgtest::NewSet();
    CPropSet set;
    set.SetProperty(1, cfgtest::Sets({nested}));
    set.SetObserver(counter);

    CPropSet copy(set);
    const auto clone = set.Clone();
    EXPECT_FALSE(copy.GetObserver());
    EXPECT_FALSE(clone->GetObserver());
    copy.SetProperty(2, Int(2));
    clone->SetProperty(2, Int(2));
    nested->SetProperty(2, Int(2)); // the holder is not told: the database watches nested sets itself
    EXPECT_EQ(counter->count, 0);

    set.SetObserver(nullptr);
    set.SetProperty(3, Int(3));
    EXPECT_EQ(counter->count, 0);
}

TEST(PropSetObserver, IsCalledWithoutTheLockSoItMayUseTheSet)
{
    CPropSet set;
    auto counter = std::make_shared<CCounter>();
    counter->onChange = [&](const CPropSet& changed) {
        mem::CBin value;
        EXPECT_TRUE(changed.GetProperty(1, value)); // would deadlock under the set's lock
        if (changed.Count() == 1)
            set.SetProperty(2, Int(2)); // and so would a write; it notifies once more
    };
    set.SetObserver(counter);
    set.SetProperty(1, Int(1));
    EXPECT_EQ(counter->count, 2);
    EXPECT_EQ(set.Count(), 2u);

    // An observer may even replace itself while it is being called.
    counter->onChange = [&](const CPropSet&) { set.SetObserver(nullptr); };
    set.SetProperty(3, Int(3));
    set.SetProperty(4, Int(4));
    EXPECT_EQ(counter->count, 3);
}

TEST(PropSetObserver, ConcurrentWritersAndObserverChangesAreSafe)
{
    CPropSet set;
    auto first = std::make_shared<CCounter>();
    auto second = std::make_shared<CCounter>();
    set.SetObserver(first);
    constexpr int c_writers = 3, c_writes = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < c_writers; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < c_writes; ++i)
                set.SetProperty(t, Int(i));
        });
    threads.emplace_back([&] {
        for (int i = 0; i < c_writes; ++i)
            set.SetObserver(i % 2 ? first : second);
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(first->count + second->count, c_writers * c_writes);
}

} // namespace
