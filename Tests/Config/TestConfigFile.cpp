// The configuration database with a file, in this process: write-back of nested changes without
// a Flush, and files it cannot use.

#include <cfg/GlobalPropSets.h>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;

// Run by hand, without ctest's environment, this program still never touches the user's file.
const bool s_inMemoryUnlessChosen = setenv("PLINTH_CONFIG", cfg::c_inMemory, 0) == 0;

constexpr std::chrono::milliseconds c_wait{20000};

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(s_inMemoryUnlessChosen && cfg::SetConfigPath(cfg::c_inMemory)); }
    void TearDown() override
    {
        cfg::UnPlugGlobalPropSet(2100, 1);
        cfg::SetConfigPath(cfg::c_inMemory);
    }
    CTempDir m_dir;
    std::string m_file = m_dir.File("config.db");
};

TEST_F(ConfigFile, ChangesOfAPluggedSetOrOfASetNestedInItAreWrittenWithoutAFlush)
{
    using tChange = std::function<void(utl::CPropSet & root, const std::vector<utl::PropSetPtr>& nested)>;
    const std::pair<const char*, tChange> cases[] = {
        {"property of the set", [](auto& root, auto&) { root.SetProperty(1, Int(2)); }},
        {"property of a nested set", [](auto&, auto& n) { n[0]->SetProperty(52010, Value(2.0)); }},
        {"property two levels down", [](auto&, auto& n) { n[2]->SetProperty(1, Int(5)); }},
        {"nested set added, then changed",
         [](auto& root, auto& n) {
             const auto added = NewSet({{52021, Int(3)}});
             root.SetProperty(51501, Sets({n[0], n[1], added}));
             ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
             added->SetProperty(52010, Value(3.0)); // a set the database has not seen before
         }},
    };
    ASSERT_TRUE(cfg::SetConfigPath(m_file));
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        const auto deep = NewSet({{1, Int(1)}});
        const auto axis1 = NewSet({{52021, Int(1)}, {52010, Value(1.0)}});
        const auto axis2 = NewSet({{52021, Int(2)}, {7, Sets({deep})}});
        const auto root = NewSet({{1, Int(1)}, {51501, Sets({axis1, axis2})}});
        ASSERT_TRUE(cfg::PlugGlobalPropSet(2100, 1, root, true));
        ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
        change(*root, {axis1, axis2, deep});
        ASSERT_TRUE(cfg::WaitForWriteBack(c_wait));
        const auto stored = StoredSet(m_file, {2100, 1});
        ASSERT_TRUE(stored);
        EXPECT_EQ(Difference(*root, *stored), std::nullopt);
    }
}

void Execute(const std::string& file, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// Sets nested `levels` deep below the set stored under (2100, 1), the key the test plugs.
void StoreNested(const std::string& file, int levels)
{
    auto set = NewSet({{1, Int(levels)}});
    for (int level = 0; level < levels; ++level)
        set = NewSet({{7, Sets({set})}});
    StoreSet(file, {2100, 1}, set);
}

TEST_F(ConfigFile, AFileThatCannotBeUsedIsLeftAloneAndSettingsStayInMemory)
{
    const std::pair<const char*, std::function<void(const std::string&)>> cases[] = {
        {"not a database", [](const std::string& f) { WriteBytes(f, std::string(3000, 'z')); }},
        {"newer schema",
         [](const std::string& f) {
             StoreSet(f, {1, 1}, NewSet({{1, Int(1)}}));
             Execute(f, "UPDATE meta SET value = 9");
         }},
        // One extra row: the set nested in the key's set contains itself. The file passes
        // SQLite's own checks.
        {"a nested set contains itself",
         [](const std::string& f) {
             StoreNested(f, 2);
             Execute(f, "INSERT INTO set_element(grp, id, set_no, prop, pos, child_no) VALUES (2100, 1, 1, 7, 1, 1)");
         }},
        {"sets nested too deep", [](const std::string& f) { StoreNested(f, 40); }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        make(file);
        const std::string before = ReadBytes(file);

        const auto set = NewSet({{1, Int(1)}});
        ASSERT_TRUE(cfg::PlugGlobalPropSet(2100, 1, set, true));
        EXPECT_FALSE(cfg::SetConfigPath(file));
        EXPECT_NE(cfg::LastError().find(file), std::string::npos) << cfg::LastError();
        EXPECT_EQ(cfg::GetConfigPath(), cfg::c_inMemory);
        set->SetProperty(2, Int(2)); // the database goes on in memory
        EXPECT_TRUE(cfg::Flush());
        EXPECT_NE(cfg::LastError(), "") << "a write into memory saved nothing";
        EXPECT_TRUE(cfg::UnPlugGlobalPropSet(2100, 1));
        EXPECT_TRUE(ReadBytes(file) == before);

        ASSERT_TRUE(cfg::SetConfigPath(m_file)); // a usable file clears the error
        EXPECT_EQ(cfg::LastError(), "");
        ASSERT_TRUE(cfg::SetConfigPath(cfg::c_inMemory));
    }
}

} // namespace
