// The configuration database with a file, inside this process: where it writes, when it writes,
// and what it does with files it cannot use.

#include <cfg/GlobalPropSets.h>

#include <sqlite3.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;
using cfg::tSetKey;
using utl::PropSetPtr;

// Run by hand, without ctest's environment, this program still never touches the user's file.
const bool s_inMemoryUnlessChosen = setenv("PLINTH_CONFIG", cfg::c_inMemory, 0) == 0;

constexpr std::chrono::milliseconds c_wait{20000};

// Every test starts and ends with settings in memory; the keys it plugs go again.
class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(s_inMemoryUnlessChosen);
        ASSERT_TRUE(cfg::SetConfigPath(cfg::c_inMemory));
    }
    void TearDown() override
    {
        for (const auto& key : m_keys)
            cfg::UnPlugGlobalPropSet(key.group, key.id);
        cfg::SetConfigPath(cfg::c_inMemory);
    }
    PropSetPtr Plug(const tSetKey& key, PropSetPtr set, bool keepSetValues = true)
    {
        m_keys.push_back(key);
        EXPECT_TRUE(cfg::PlugGlobalPropSet(key.group, key.id, set, keepSetValues));
        return set;
    }
    // The file holds exactly what `set` holds under `key`.
    void ExpectStored(const tSetKey& key, const utl::CPropSet& set, const std::string& file = {})
    {
        const auto stored = StoredSet(file.empty() ? m_file : file, key);
        ASSERT_TRUE(stored) << "nothing stored under " << key.group << "/" << key.id;
        EXPECT_EQ(Difference(set, *stored), std::nullopt);
    }
    bool IsStored(const tSetKey& key, const std::string& file = {})
    {
        const auto keys = StoredKeys(file.empty() ? m_file : file);
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }

    CTempDir m_dir;
    std::string m_file = m_dir.File("config.db");
    std::vector<tSetKey> m_keys;
};

TEST_F(ConfigFile, FileAndDirectoryAreMadeAndThePathIsReported)
{
    EXPECT_EQ(cfg::GetConfigPath(), cfg::c_inMemory);
    EXPECT_TRUE(cfg::WaitForWriteBack(std::chrono::milliseconds(0))); // nothing to write in memory
    const std::string file = m_dir.File("a/b/config.db");
    ASSERT_TRUE(cfg::SetConfigPath(file)) << cfg::LastError();
    EXPECT_EQ(cfg::GetConfigPath(), file);
    EXPECT_EQ(cfg::LastError(), "");
    EXPECT_TRUE(Exists(file));
    ASSERT_TRUE(cfg::SetConfigPath(cfg::c_inMemory));
    EXPECT_EQ(cfg::GetConfigPath(), cfg::c_inMemory);
}

TEST_F(ConfigFile, FlushWritesEveryPluggedSetAndUnPlugErasesAtOnce)
{
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    const auto nested = NewSet({{1, Double(0.5, utl::c_mum)}});
    const auto a = Plug({2000, 1}, NewSet({{1, Int(1)}, {2, Sets({nested, nullptr})}, {3, Text(L"a")}}));
    const auto b = Plug({2000, 2}, NewSet());
    ASSERT_TRUE(cfg::Flush());
    ExpectStored({2000, 1}, *a);
    ExpectStored({2000, 2}, *b);

    ASSERT_TRUE(cfg::UnPlugGlobalPropSet(2000, 1));
    EXPECT_FALSE(IsStored({2000, 1}));
    EXPECT_TRUE(IsStored({2000, 2}));
    // A set plugged there now starts from nothing.
    const auto fresh = Plug({2000, 1}, NewSet(), false);
    EXPECT_EQ(fresh->Count(), 0u);
}

struct tChangeCase {
    const char* name;
    // Changes the tree below `root` (see the test for its shape).
    std::function<void(utl::CPropSet& root, const std::vector<PropSetPtr>& nested)> change;
};

TEST_F(ConfigFile, EveryChangeOfAPluggedSetOrOfASetNestedInItIsWrittenWithoutAFlush)
{
    const std::vector<tChangeCase> cases{
        {"property of the set", [](utl::CPropSet& root, auto&) { root.SetProperty(1, Int(2)); }},
        {"property of a nested set", [](auto&, auto& n) { n[0]->SetProperty(52010, Double(2.0)); }},
        {"property two levels down", [](auto&, auto& n) { n[2]->SetProperty(1, Int(5)); }},
        {"property removed from a nested set", [](auto&, auto& n) { n[0]->DelProperty(52010); }},
        {"nested set assigned",
         [](auto&, auto& n) {
             n[1]->Assign({{52021, Int(2)}, {9, Bool(true)}});
         }},
        {"nested set added, then changed",
         [](utl::CPropSet& root, auto& n) {
             const auto added = NewSet({{52021, Int(3)}});
             root.SetProperty(51501, Sets({n[0], n[1], added}));
             ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
             added->SetProperty(52010, Double(3.0)); // a set the database has not seen before
         }},
        {"set cleared", [](utl::CPropSet& root, auto&) { root.Clear(); }},
    };
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    std::uint32_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const tSetKey key{2100, ++id};
        const auto deep = NewSet({{1, Int(1)}});
        const auto axis1 = NewSet({{52021, Int(1)}, {52010, Double(1.0)}});
        const auto axis2 = NewSet({{52021, Int(2)}, {7, Sets({deep})}});
        const auto root = Plug(key, NewSet({{1, Int(1)}, {51501, Sets({axis1, axis2})}}));
        ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
        ExpectStored(key, *root);

        c.change(*root, {axis1, axis2, deep});
        ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
        ExpectStored(key, *root);
    }
}

TEST_F(ConfigFile, SetsNoLongerPluggedAreNoLongerWatched)
{
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    const auto nested = NewSet({{1, Int(1)}});
    const auto gone = Plug({2200, 1}, NewSet({{1, Sets({nested})}}));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ASSERT_TRUE(cfg::UnPlugGlobalPropSet(2200, 1));
    gone->SetProperty(2, Int(2));
    nested->SetProperty(2, Int(2));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    EXPECT_FALSE(IsStored({2200, 1}));

    // A set replaced by a successor (which takes over a copy of its settings).
    const auto oldNested = NewSet({{1, Int(1)}});
    const auto old = Plug({2200, 2}, NewSet({{1, Sets({oldNested})}}));
    const auto successor = Plug({2200, 2}, NewSet(), false);
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    old->SetProperty(5, Int(5));
    oldNested->SetProperty(5, Int(5));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ExpectStored({2200, 2}, *successor);
    SetsOf(*successor, 1).at(0)->SetProperty(6, Int(6));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ExpectStored({2200, 2}, *successor);
    EXPECT_FALSE(StoredSet(m_file, {2200, 2})->PropertyExists(5));
}

TEST_F(ConfigFile, APathChosenLaterTakesOverTheSetsPluggedSoFar)
{
    StoreSet(m_file, {2300, 1}, NewSet({{1, Int(10)}, {3, Sets({NewSet({{1, Int(30)}})})}}));
    // Plugged while settings are in memory, as a library does before main.
    const auto known = Plug({2300, 1}, NewSet({{1, Int(1)}, {2, Int(2)}}), false);
    const auto unknown = Plug({2300, 2}, NewSet({{5, Int(5)}}), false);
    EXPECT_EQ(IntOf(*known, 1), 1);

    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    // What the file holds wins; what it does not hold stays.
    EXPECT_EQ(IntOf(*known, 1), 10);
    EXPECT_EQ(IntOf(*known, 2), 2);
    ASSERT_EQ(SetsOf(*known, 3).size(), 1u);
    EXPECT_EQ(IntOf(*SetsOf(*known, 3)[0], 1), 30);
    // And from now on everything goes to the file.
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ExpectStored({2300, 1}, *known);
    ExpectStored({2300, 2}, *unknown);
    SetsOf(*known, 3)[0]->SetProperty(1, Int(31));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ExpectStored({2300, 1}, *known);
}

TEST_F(ConfigFile, LeavingAFileWritesWhatIsUnwrittenIntoItFirst)
{
    const std::string other = m_dir.File("other.db");
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    const auto nested = NewSet({{1, Int(1)}});
    const auto set = Plug({2400, 1}, NewSet({{1, Sets({nested})}}));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    nested->SetProperty(1, Int(2));
    ASSERT_TRUE(cfg::SetConfigPath(other)); // at once, no waiting for the writer
    ExpectStored({2400, 1}, *set);
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    ExpectStored({2400, 1}, *set, other);
}

TEST_F(ConfigFile, AFileThatCannotBeUsedIsLeftAloneAndSettingsStayInMemory)
{
    struct tCase {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const std::vector<tCase> cases{
        {"not a database", [](const std::string& f) { WriteBytes(f, std::string(3000, 'z')); }},
        {"newer schema",
         [](const std::string& f) {
             StoreSet(f, {1, 1}, NewSet({{1, Int(1)}}));
             sqlite3* db = nullptr;
             sqlite3_open(f.c_str(), &db);
             sqlite3_exec(db, "UPDATE meta SET value = 9", nullptr, nullptr, nullptr);
             sqlite3_close(db);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        c.make(file);
        const std::string before = ReadBytes(file);

        const auto set = Plug({2500, 1}, NewSet({{1, Int(1)}}));
        EXPECT_FALSE(cfg::SetConfigPath(file));
        EXPECT_NE(cfg::LastError().find(file), std::string::npos) << cfg::LastError();
        EXPECT_EQ(cfg::GetConfigPath(), cfg::c_inMemory);
        // The database goes on in memory.
        set->SetProperty(2, Int(2));
        EXPECT_TRUE(cfg::WaitForWriteBack(c_wait));
        EXPECT_TRUE(cfg::Flush());
        EXPECT_EQ(cfg::GetGlobalPropSet(2500, 1), set);
        EXPECT_TRUE(cfg::UnPlugGlobalPropSet(2500, 1));
        EXPECT_TRUE(ReadBytes(file) == before);

        ASSERT_TRUE(cfg::SetConfigPath(m_file)); // a usable file clears the error
        EXPECT_EQ(cfg::LastError(), "");
        ASSERT_TRUE(cfg::SetConfigPath(cfg::c_inMemory));
    }
}

// A store that wants write-back and refuses a given number of saves.
class CFlakyStore : public cfg::IPropSetStore {
public:
    struct tLog {
        std::mutex mutex;
        int refusals = 0;
        int saves = 0;
        int savedSets = 0;
    };
    explicit CFlakyStore(std::shared_ptr<tLog> log) : m_log(std::move(log)) {}
    bool Load(const tSetKey&, utl::CPropSet&) override { return false; }
    bool Save(const std::vector<std::pair<tSetKey, PropSetPtr>>& sets) override
    {
        std::lock_guard<std::mutex> lock(m_log->mutex);
        ++m_log->saves;
        if (m_log->refusals > 0) {
            --m_log->refusals;
            return false;
        }
        m_log->savedSets += static_cast<int>(sets.size());
        return true;
    }
    bool Erase(const tSetKey&) override { return true; }
    bool WantsWriteBack() const override { return true; }

private:
    std::shared_ptr<tLog> m_log;
};

TEST_F(ConfigFile, AFailedWriteIsReportedAndTriedAgain)
{
    auto log = std::make_shared<CFlakyStore::tLog>();
    cfg::SetStore(std::make_unique<CFlakyStore>(log));
    EXPECT_EQ(cfg::GetConfigPath(), "");
    const auto set = Plug({2600, 1}, NewSet({{1, Int(1)}}));
    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));

    {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->refusals = 1;
    }
    EXPECT_FALSE(cfg::Flush());
    EXPECT_NE(cfg::LastError(), "");
    EXPECT_TRUE(cfg::Flush());
    EXPECT_EQ(cfg::LastError(), "");

    // In the background: the refused write leaves the change unwritten until the retry.
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->refusals = 1;
    }
    set->SetProperty(1, Int(2));
    EXPECT_TRUE(cfg::WaitForWriteBack(c_wait)); // waits through the refusal and the retry
    EXPECT_EQ(cfg::LastError(), "");
    std::lock_guard<std::mutex> lock(log->mutex);
    EXPECT_EQ(log->refusals, 0);
}

TEST_F(ConfigFile, ConcurrentChangesPlugsAndFlushesEndUpInTheFile)
{
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    constexpr int c_writers = 3, c_changes = 300;
    std::vector<PropSetPtr> roots, leaves;
    for (int w = 0; w < c_writers; ++w) {
        leaves.push_back(NewSet({{1, Int(0)}}));
        roots.push_back(Plug({2700, static_cast<std::uint32_t>(w)}, NewSet({{1, Sets({leaves.back()})}})));
    }
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < c_writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 1; i <= c_changes; ++i) {
                leaves[w]->SetProperty(1, Int(i));
                if (i % 50 == 0) // now and then a new nested set
                    roots[w]->SetProperty(1, Sets({leaves[w], NewSet({{2, Int(i)}})}));
            }
        });
    std::thread other([&] {
        for (int i = 0; !done; ++i) {
            const auto extra = NewSet({{1, Int(i)}});
            cfg::PlugGlobalPropSet(2700, 99, extra, true);
            extra->SetProperty(2, Int(i));
            if (i % 3 == 0)
                cfg::Flush();
            cfg::UnPlugGlobalPropSet(2700, 99);
            cfg::GetGlobalPropSet(2700, 0);
        }
    });
    for (auto& thread : threads)
        thread.join();
    done = true;
    other.join();

    ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
    for (int w = 0; w < c_writers; ++w)
        ExpectStored({2700, static_cast<std::uint32_t>(w)}, *roots[w]);
    EXPECT_FALSE(IsStored({2700, 99}));
}

// Changes environment variables for the life of the object.
class CEnvironment {
public:
    void Set(const char* name, const char* value)
    {
        if (!m_saved.count(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~CEnvironment()
    {
        for (const auto& [name, value] : m_saved)
            Set(name.c_str(), value ? value->c_str() : nullptr);
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

TEST(ConfigPath, DefaultFollowsXdgDataHomeThenHome)
{
    struct tCase {
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const tCase cases[] = {
        {"/data/home", "/home/u", "/data/home/plinth/config.db"},
        {"/data/home/", "/home/u", "/data/home/plinth/config.db"},
        {nullptr, "/home/u", "/home/u/.local/share/plinth/config.db"},
        {"", "/home/u", "/home/u/.local/share/plinth/config.db"},
        {"relative/data", "/home/u/", "/home/u/.local/share/plinth/config.db"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("XDG_DATA_HOME=") + (c.xdg ? c.xdg : "(unset)"));
        CEnvironment env;
        env.Set("XDG_DATA_HOME", c.xdg);
        env.Set("HOME", c.home);
        EXPECT_EQ(cfg::DefaultConfigPath(), c.expected);
    }
    // Without HOME the user database knows the home directory.
    CEnvironment env;
    env.Set("XDG_DATA_HOME", nullptr);
    env.Set("HOME", nullptr);
    const std::string path = cfg::DefaultConfigPath();
    EXPECT_TRUE(path == cfg::c_inMemory || path.find("/.local/share/plinth/config.db") != std::string::npos) << path;
}

} // namespace
