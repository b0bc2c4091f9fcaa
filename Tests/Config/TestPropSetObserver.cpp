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
