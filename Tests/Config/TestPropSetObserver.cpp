// The change notification of utl::CPropSet that the configuration database relies on.

#include <utl/CPropSet.h>

#include <gtest/gtest.h>

#include <functional>

#include "ConfigTestSupport.h"

namespace {

using cfgtest::Int;
using utl::CPropSet;

class CCounter : public utl::IPropSetObserver {
public:
    void OnPropSetChanged(const CPropSet& set) noexcept override
    {
        ++count;
        if (onChange)
            onChange(set);
    }
    int count = 0;
    std::function<void(const CPropSet&)> onChange;
};

TEST(PropSetObserver, EveryChangeNotifiesOnceAndReadsDoNot)
{
    const std::tuple<const char*, std::function<void(CPropSet&)>, int> changes[] = {
        {"SetProperty", [](CPropSet& s) { s.SetProperty(1, Int(2)); }, 1},
        {"DelProperty", [](CPropSet& s) { s.DelProperty(1); }, 1},
        {"DelProperty of an absent ID", [](CPropSet& s) { s.DelProperty(42); }, 0},
        {"Assign",
         [](CPropSet& s) {
             s.Assign({{3, Int(3)}});
         },
         1},
        {"Clear", [](CPropSet& s) { s.Clear(); }, 1},
        {"reads",
         [](CPropSet& s) {
             mem::CBin value;
             s.GetProperty(1, value);
             s.PropertyExists(1);
             s.Count();
             s.GetPropertyIDs();
             s.Snapshot();
             s.Clone();
         },
         0},
    };
    for (const auto& [name, change, notifications] : changes) {
        SCOPED_TRACE(name);
        CPropSet set;
        set.SetProperty(1, Int(1));
        auto counter = std::make_shared<CCounter>();
        set.SetObserver(counter);
        change(set);
        EXPECT_EQ(counter->count, notifications);
    }
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
}

} // namespace
