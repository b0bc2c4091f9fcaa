#include <cfg/GlobalPropSets.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ConfigDatabase, PlugGetAndUnPlugEvenAfterAFlush)
{
    EXPECT_FALSE(cfg::PlugGlobalPropSet(1000, 1, nullptr, false));
    EXPECT_FALSE(cfg::GetGlobalPropSet(1000, 1));
    const auto set = NewSet({{1, 5}});
    EXPECT_TRUE(cfg::PlugGlobalPropSet(1000, 1, set, true));
    EXPECT_EQ(cfg::GetGlobalPropSet(1000, 1), set);
    EXPECT_FALSE(cfg::GetGlobalPropSet(1000, 2));
    EXPECT_FALSE(cfg::GetGlobalPropSet(1001, 1));

    EXPECT_TRUE(cfg::PlugGlobalPropSet(1000, 1, set, false)); // the same set again: unchanged
    EXPECT_EQ(set->Count(), 1u);
    EXPECT_EQ(IntOf(*set, 1), 5);

    // Unplugging forgets the settings, also those written by a flush: a new set starts empty.
    EXPECT_TRUE(cfg::Flush());
    EXPECT_TRUE(cfg::UnPlugGlobalPropSet(1000, 1));
    EXPECT_FALSE(cfg::UnPlugGlobalPropSet(1000, 1));
    EXPECT_FALSE(cfg::GetGlobalPropSet(1000, 1));
    const auto fresh = NewSet();
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1000, 1, fresh, false));
    EXPECT_EQ(fresh->Count(), 0u);
    EXPECT_TRUE(cfg::UnPlugGlobalPropSet(1000, 1));
}

TEST(ConfigDatabase, NewSetTakesOverTheSettingsOfThePluggedOne)
{
    const auto nested = NewSet({{1, 10}});
    const auto old = NewSet({{1, 1}, {2, 2}});
    CBin nestedBin;
    nestedBin.Store(mem::PropSetVector{nested});
    old->SetProperty(3, nestedBin);
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1002, 7, old, true));

    const auto taking = NewSet({{1, 100}});
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1002, 7, taking, false));
    EXPECT_EQ(cfg::GetGlobalPropSet(1002, 7), taking);
    EXPECT_EQ(IntOf(*taking, 1), 1);
    EXPECT_EQ(IntOf(*taking, 2), 2);

    // The nested sets are copies: changing the new set's leaves the old one's alone.
    CBin value;
    mem::PropSetVector sets;
    ASSERT_TRUE(taking->GetProperty(3, value) && value.Restore(sets) && sets.size() == 1);
    ASSERT_NE(sets[0], nested);
    EXPECT_EQ(IntOf(*sets[0], 1), 10);
    sets[0]->SetProperty(1, CBin::Of(std::int32_t(11)));
    EXPECT_EQ(IntOf(*nested, 1), 10);
    EXPECT_TRUE(cfg::UnPlugGlobalPropSet(1002, 7));
}

// What the database asked of the store, kept outside the store (which the database owns).
struct tStoreLog {
    bool saveAnswer = true, destroyed = false;
    std::vector<cfg::tSetKey> loads;
    std::vector<std::pair<cfg::tSetKey, PropSetPtr>> saved;
};

// Has property 5 = 55 stored under (1010, 1), nothing else.
class CFakeStore : public cfg::IPropSetStore {
public:
    explicit CFakeStore(tStoreLog& log) : m_log(log) {}
    ~CFakeStore() override { m_log.destroyed = true; }
    bool Load(const cfg::tSetKey& key, CPropSet& set) override
    {
        m_log.loads.push_back(key);
        return key == cfg::tSetKey{1010, 1} && set.SetProperty(5, CBin::Of(std::int32_t(55)));
    }
    bool Save(const std::vector<std::pair<cfg::tSetKey, PropSetPtr>>& sets) override
    {
        m_log.saved = sets;
        return m_log.saveAnswer;
    }
    bool Erase(const cfg::tSetKey&) override { return true; }

private:
    tStoreLog& m_log;
};

class ConfigDatabaseStore : public ::testing::Test {
protected:
    void SetUp() override { cfg::SetStore(std::make_unique<CFakeStore>(m_log)); }
    void TearDown() override
    {
        for (std::uint32_t id : {1u, 2u, 3u})
            cfg::UnPlugGlobalPropSet(1010, id);
        cfg::SetStore(nullptr); // back to the default store
    }
    tStoreLog m_log;
};

TEST_F(ConfigDatabaseStore, LoadsOnPlugOfAnUnknownKeyOnly)
{
    const auto set = NewSet({{1, 1}});
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, set, false));
    ASSERT_EQ(m_log.loads.size(), 1u);
    EXPECT_EQ(m_log.loads[0], (cfg::tSetKey{1010, 1}));
    EXPECT_EQ(IntOf(*set, 5), 55);
    EXPECT_EQ(IntOf(*set, 1), 1);

    const auto other = NewSet({{1, 1}}); // nothing stored there: the set stays as it was
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 2, other, false));
    EXPECT_EQ(m_log.loads.size(), 2u);
    EXPECT_EQ(other->GetPropertyIDs(), std::vector<int>{1});

    ASSERT_TRUE(cfg::UnPlugGlobalPropSet(1010, 1));
    const auto keeping = NewSet(); // keeps its values: not filled from the store
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, keeping, true));
    EXPECT_EQ(keeping->Count(), 0u);

    // A plugged key is not loaded again, for the same set or another: the store must not
    // overwrite what the plugged set holds now.
    keeping->SetProperty(5, CBin::Of(std::int32_t(1)));
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, keeping, false));
    const auto successor = NewSet();
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, successor, false));
    EXPECT_EQ(m_log.loads.size(), 2u);
    EXPECT_EQ(IntOf(*keeping, 5), 1);
    EXPECT_EQ(IntOf(*successor, 5), 1);
}

TEST_F(ConfigDatabaseStore, FlushSavesThePluggedSets)
{
    const auto a = NewSet(), b = NewSet();
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 1, a, true));
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 2, b, true));
    EXPECT_TRUE(cfg::Flush());
    using Saved = std::pair<cfg::tSetKey, PropSetPtr>;
    EXPECT_EQ(std::count(m_log.saved.begin(), m_log.saved.end(), Saved({1010, 1}, a)), 1);
    EXPECT_EQ(std::count(m_log.saved.begin(), m_log.saved.end(), Saved({1010, 2}, b)), 1);
    m_log.saveAnswer = false;
    EXPECT_FALSE(cfg::Flush());
}

TEST_F(ConfigDatabaseStore, SetStoreOfNullRestoresTheDefault)
{
    cfg::SetStore(nullptr);
    EXPECT_TRUE(m_log.destroyed);
    const auto set = NewSet();
    ASSERT_TRUE(cfg::PlugGlobalPropSet(1010, 3, set, false)); // the fake would fill in property 5
    EXPECT_TRUE(cfg::Flush());
    EXPECT_TRUE(m_log.loads.empty() && m_log.saved.empty());
    EXPECT_EQ(set->Count(), 0u);
}

} // namespace
