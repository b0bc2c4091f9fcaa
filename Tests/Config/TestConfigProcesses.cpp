// The configuration file across processes: settings come back in a fresh process, the end of a
// process writes, a kill never leaves half a write, two processes share one file. The children
// run the helper program (ConfigHelper.cpp).

#include <cfg/GlobalPropSets.h>

#include <signal.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <set>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;
using tLines = std::vector<std::string>;

constexpr const char* c_stageID = "4711";

// The helper's output; it must end with exit code 0.
tLines Helper(const tLines& args, const std::string& file)
{
    CChild child(args, file);
    auto lines = child.ReadAllLines();
    EXPECT_EQ(child.Wait(), 0) << args[0] << (lines.empty() ? "" : ": " + lines.back());
    return lines;
}

// What stage-read prints for the settings that stage-write sets.
const tLines c_written{
    "calibration 1 0.25 2", "limits 1 -1000 2000", "speed 1 3.5",  "lastposition 1 123",
    "calibration 2 125 4",  "limits 2 -5 5",       "speed 2 4.25", "lastposition 2 -456",
    "precision 1",          "backlash 1",          "end",
};

TEST(ConfigProcesses, AStageComesBackInAFreshProcessUntilItIsReset)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    const auto defaults = Helper({"stage-read", c_stageID}, dir.File("empty.db"));
    ASSERT_EQ(defaults.size(), c_written.size());
    for (std::size_t i = 0; i + 1 < c_written.size(); ++i)
        EXPECT_NE(defaults[i], c_written[i]) << "the test would not see this setting come back";

    EXPECT_EQ(Helper({"stage-write", c_stageID}, file), tLines{"written"});
    EXPECT_EQ(Helper({"stage-read", c_stageID}, file), c_written);
    // Unplugged and flushed, the stage starts from the driver's defaults, now and in the next process.
    EXPECT_EQ(Helper({"stage-reset", c_stageID}, file), defaults);
    EXPECT_EQ(Helper({"stage-read", c_stageID}, file), defaults);
}

TEST(ConfigProcesses, ProcessesKeepEachOthersSettingsOfOneStage)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    EXPECT_EQ(Helper({"stage-write", c_stageID}, file), tLines{"written"});
    // All three have read the stage before any of them writes; the idle one flushes in between,
    // as an idle shell that quits does.
    CChild calibration({"stage-change", c_stageID, "calibration"}, file);
    CChild idle({"stage-change", c_stageID, "none"}, file);
    CChild speed({"stage-change", c_stageID, "speed"}, file);
    for (CChild* child : {&calibration, &idle, &speed})
        ASSERT_EQ(child->ReadLine(), std::optional<std::string>("loaded"));
    for (CChild* child : {&calibration, &idle, &speed}) {
        child->Kill(SIGUSR1);
        EXPECT_EQ(child->ReadAllLines(), tLines{"done"});
        EXPECT_EQ(child->Wait(), 0);
    }
    tLines expected = c_written;
    expected[0] = "calibration 1 0.5 2";
    expected[6] = "speed 2 9.5";
    EXPECT_EQ(Helper({"stage-read", c_stageID}, file), expected);
}

TEST(ConfigProcesses, TheEndOfAProcessWritesWhatIsUnwritten)
{
    for (const char* how : {"return", "exit"}) {
        SCOPED_TRACE(how);
        CTempDir dir;
        EXPECT_EQ(Helper({"end", how}, dir.File("config.db")), tLines{"changed"});
        const auto stored = StoredSet(dir.File("config.db"), {7300, 1});
        ASSERT_TRUE(stored);
        ASSERT_EQ(SetsOf(*stored, 1).size(), 1u);
        EXPECT_EQ(IntOf(*SetsOf(*stored, 1)[0], 1), 42);
    }
}

TEST(ConfigProcesses, AKillDuringAWriteLeavesTheOldOrTheNewStateComplete)
{
    struct tCase {
        const char* kind; // which file's write stops the child
        int write;        // the how-manieth write into that file
        int expected;     // generation in the file afterwards
    };
    // 1500 sets: big enough that the log is copied into the database right after the commit.
    constexpr int c_sets = 1500;
    for (const auto& c : {tCase{"wal", 1, 1}, tCase{"wal", 400, 1}, tCase{"main", 1, 2}, tCase{"main", 300, 2}}) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.write));
        CTempDir dir;
        const std::string file = dir.File("config.db");
        CChild child({"kill-target", file, std::to_string(c_sets), c.kind, std::to_string(c.write)}, cfg::c_inMemory);
        EXPECT_EQ(child.ReadLine(), std::optional<std::string>("old"));
        EXPECT_EQ(child.ReadLine(), std::optional<std::string>("blocked"));
        child.Kill(SIGKILL);
        EXPECT_EQ(child.Wait(), 128 + SIGKILL);
        // Every nested set complete and of one generation.
        const auto stored = StoredSet(file, {7000, 1});
        ASSERT_TRUE(stored);
        const auto sets = SetsOf(*stored, 1);
        ASSERT_EQ(sets.size(), static_cast<std::size_t>(c_sets));
        std::set<int> generations;
        for (const auto& set : sets) {
            ASSERT_TRUE(set && set->Count() == 20);
            for (int p = 0; p < 10; ++p)
                generations.insert(IntOf(*set, p).value_or(-1));
        }
        EXPECT_EQ(generations, std::set<int>{c.expected});
    }
}

TEST(ConfigProcesses, TwoProcessesWritingOneFileLeaveItWhole)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    StoreSet(file, {1, 1}, NewSet()); // the file exists before both start
    constexpr int c_rounds = 200;
    CChild first({"hammer", "8001", std::to_string(c_rounds)}, file);
    CChild second({"hammer", "8002", std::to_string(c_rounds)}, file);
    for (CChild* child : {&first, &second}) {
        EXPECT_EQ(child->ReadAllLines(), tLines{"done"});
        EXPECT_EQ(child->Wait(), 0);
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    for (int group : {8001, 8002}) {
        const auto own = StoredSet(file, {group, 1});
        ASSERT_TRUE(own && SetsOf(*own, 1).size() == 1);
        EXPECT_EQ(IntOf(*SetsOf(*own, 1)[0], 1), c_rounds);
        EXPECT_EQ(IntOf(*SetsOf(*own, 1)[0], 2), c_rounds);
    }
    // The shared key holds one process's last write, whole.
    const auto shared = StoredSet(file, {9000, 1});
    ASSERT_TRUE(shared);
    EXPECT_EQ(IntOf(*shared, 1), IntOf(*shared, 3));
    EXPECT_EQ(IntOf(*shared, 2), c_rounds);
}

} // namespace
