#include <cfg/GlobalPropSets.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

// The database is process-wide: every test here has group numbers of its own (1000 and up).

namespace {

using mem::CBin;
using utl::CPropSet;
using utl::PropSetPtr;

PropSetPtr NewSet(std::initializer_list<std::pair<int, std::int32_t>> values = {})
{
    auto set = boost::make_shared<CPropSet>();
    for (const auto& [id, value] : values)
        set->SetProperty(id, CBin::Of(value));
    return set;
}

std::optional<std::int32_t> IntOf(const CPropSet& set, int id)
{
    CBin value;
    std::int32_t out = 0;
    return set.GetProperty(id, value) && value.Get(out) ? std::optional(out) : std::nullopt;
}

// A new set takes over (as deep copies) the settings of the one plugged before; after an unplug,
// even one that follows a flush, the next set starts empty.
TEST(ConfigDatabase, NewSetTakesOverAndUnplugForgets)
{
    const auto nested = NewSet({{1, 10}});
    const auto old = NewSet({{1, 1}, {2, 2}});
    CBin nestedBin;
    nestedBin.Store(mem::PropSetVector{nested});
    old->SetProperty(3, nestedBin);
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1000, 1, old, true));

    const auto taking = NewSet({{1, 100}});
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1000, 1, taking, false));
    EXPECT_EQ(cfg::GetGlobalPropSet(1000, 1), taking);
    EXPECT_EQ(IntOf(*taking, 1), 1);
    EXPECT_EQ(IntOf(*taking, 2), 2);
    CBin value;
    mem::PropSetVector sets;
    ASSERT_TRUE(taking->GetProperty(3, value) && value.Restore(sets) && sets.size() == 1);
    ASSERT_NE(sets[0], nested);
    sets[0]->SetProperty(1, CBin::Of(std::int32_t(11)));
    EXPECT_EQ(IntOf(*nested, 1), 10);

    EXPECT_TRUE(cfg::Flush());
    EXPECT_TRUE(cfg::UnPlugGlobalPropSet(1000, 1));
    EXPECT_FALSE(cfg::GetGlobalPropSet(1000, 1));
    const auto fresh = NewSet();
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1000, 1, fresh, false));
    EXPECT_EQ(fresh->Count(), 0u);
    EXPECT_TRUE(cfg::UnPlugGlobalPropSet(1000, 1));
}

// What the database asked of the store, shared with the test (the database owns the store).
struct tStoreLog {
    std::vector<cfg::tSetKey> loads;
    std::vector<std::pair<cfg::tSetKey, PropSetPtr>> saved;
};

// Has property 5 = 55 stored under (1010, 1), nothing else.
class CFakeStore : public cfg::IPropSetStore {
public:
    explicit CFakeStore(std::shared_ptr<tStoreLog> log) : m_log(std::move(log)) {}
    bool Load(const cfg::tSetKey& key, CPropSet& set) override
    {
        m_log->loads.push_back(key);
        return key == cfg::tSetKey{1010, 1} && set.SetProperty(5, CBin::Of(std::int32_t(55)));
    }
    bool Save(const std::vector<std::pair<cfg::tSetKey, PropSetPtr>>& sets) override
    {
        m_log->saved = sets;
        return true;
    }
    bool Erase(const cfg::tSetKey&) override { return true; }

private:
    std::shared_ptr<tStoreLog> m_log;
};

TEST(ConfigDatabase, CustomStoreLoadsOnPlugAndSavesOnFlush)
{
    const auto log = std::make_shared<tStoreLog>();
    cfg::SetStore(std::make_unique<CFakeStore>(log));
    const auto set = NewSet({{1, 1}}), other = NewSet({{1, 1}});
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, set, false));
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 2, other, false)); // nothing stored there
    EXPECT_EQ(log->loads, (std::vector<cfg::tSetKey>{{1010, 1}, {1010, 2}}));
    EXPECT_EQ(IntOf(*set, 5), 55);
    EXPECT_EQ(IntOf(*set, 1), 1);
    EXPECT_EQ(other->GetPropertyIDs(), std::vector<int>{1});
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, NewSet(), false)); // plugged: taken over, not loaded
    EXPECT_EQ(log->loads.size(), 2u);

    EXPECT_TRUE(cfg::Flush());
    using Saved = std::pair<cfg::tSetKey, PropSetPtr>;
    EXPECT_EQ(std::count(log->saved.begin(), log->saved.end(), Saved({1010, 2}, other)), 1);
    for (std::uint32_t id : {1u, 2u})
        cfg::UnPlugGlobalPropSet(1010, id);
    cfg::SetStore(nullptr); // back to the default store
}

} // namespace
