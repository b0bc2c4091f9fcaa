// The configuration file across processes: settings come back in a fresh process, the end of a
// process writes, a kill never leaves half a write, two processes share one file. The children
// run the helper program (ConfigHelper.cpp).

#include <cfg/GlobalPropSets.h>

#include <signal.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "ConfigTestSupport.h"

namespace {

using namespace cfgtest;

constexpr const char* c_stageID = "4711";

// The helper's output, with a failure message for every "error" line.
std::vector<std::string> Helper(const std::vector<std::string>& args, const CChild::Environment& env,
                                int expectedCode = 0)
{
    int code = -1;
    auto lines = RunHelper(args, env, code);
    EXPECT_EQ(code, expectedCode) << args[0];
    for (const auto& line : lines)
        EXPECT_NE(line.rfind("error", 0), 0u) << args[0] << ": " << line;
    return lines;
}

CChild::Environment WithFile(const std::string& file) { return {{"PLINTH_CONFIG", file}}; }

// What stage-read prints for the settings that stage-write sets.
const std::vector<std::string> c_written{
    "calibration 1 0.25 2", "limits 1 -1000 2000", "speed 1 3.5",  "lastposition 1 123",
    "calibration 2 125 4",  "limits 2 -5 5",       "speed 2 4.25", "lastposition 2 -456",
    "precision 1",          "backlash 1",          "end",
};

TEST(ConfigProcesses, AStageComesBackWithItsSettingsInAFreshProcess)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    const auto defaults = Helper({"stage-read", c_stageID}, WithFile(dir.File("empty.db")));
    ASSERT_EQ(defaults.size(), c_written.size());
    for (std::size_t i = 0; i + 1 < c_written.size(); ++i)
        EXPECT_NE(defaults[i], c_written[i]) << "the test would not see this setting come back";

    EXPECT_EQ(Helper({"stage-write", c_stageID}, WithFile(file)), std::vector<std::string>{"written"});
    EXPECT_EQ(Helper({"stage-read", c_stageID}, WithFile(file)), c_written);
    // Reading wrote nothing that changes the next start.
    EXPECT_EQ(Helper({"stage-read", c_stageID}, WithFile(file)), c_written);
    // Another stage ID has its own settings.
    EXPECT_EQ(Helper({"stage-read", "4712"}, WithFile(file)), defaults);

    // Reset: unplugged and flushed, the stage starts from the driver's defaults, in the same
    // process and in the next one.
    EXPECT_EQ(Helper({"stage-reset", c_stageID}, WithFile(file)), defaults);
    EXPECT_EQ(Helper({"stage-read", c_stageID}, WithFile(file)), defaults);
}

TEST(ConfigProcesses, APathChosenInMainTakesOverWhatLibrariesPluggedBeforeIt)
{
    CTempDir dir;
    const std::string file = dir.File("chosen.db");
    StoreSet(file, {3, 0}, NewSet({{990001, Int(4242)}}));
    const auto lines = Helper({"later-path", file, c_stageID}, WithFile(cfg::c_inMemory));
    EXPECT_EQ(lines, (std::vector<std::string>{"marker 4242", "written"}));
    const auto manager = StoredSet(file, {3, 0});
    ASSERT_TRUE(manager);
    EXPECT_EQ(IntOf(*manager, 990001), 4242);
    EXPECT_EQ(IntOf(*manager, 990002), 77);
    EXPECT_EQ(Helper({"stage-read", c_stageID}, WithFile(file)), c_written);
}

TEST(ConfigProcesses, TheEndOfAProcessWritesWhatIsUnwritten)
{
    for (const char* how : {"return", "exit"}) {
        SCOPED_TRACE(how);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        EXPECT_EQ(Helper({"end", "7300", how}, WithFile(file)), std::vector<std::string>{"changed"});
        const auto stored = StoredSet(file, {7300, 1});
        ASSERT_TRUE(stored);
        const auto nested = SetsOf(*stored, 1);
        ASSERT_EQ(nested.size(), 1u);
        EXPECT_EQ(IntOf(*nested[0], 1), 42);
    }
}

TEST(ConfigProcesses, WithoutPlinthConfigTheFileIsInTheUsersDataDirectory)
{
    struct tCase {
        const char* name;
        bool xdg;         // XDG_DATA_HOME set to <dir>/xdg
        const char* file; // below <dir>
    };
    const tCase cases[] = {
        {"XDG_DATA_HOME", true, "/xdg/plinth/config.db"},
        {"HOME", false, "/home/.local/share/plinth/config.db"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        CChild::Environment env{{"PLINTH_CONFIG", std::nullopt},
                                {"HOME", dir.File("home")},
                                {"XDG_DATA_HOME", c.xdg ? std::optional(dir.File("xdg")) : std::nullopt}};
        const std::string file = dir.Path() + c.file;
        const auto lines = Helper({"report"}, env);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "path " + file);
        EXPECT_EQ(lines[1], "lasterror ");
        const auto stored = StoredSet(file, {7200, 1});
        ASSERT_TRUE(stored);
        EXPECT_EQ(IntOf(*stored, 2), 2);
    }
}

TEST(ConfigProcesses, AProcessThatChangesNoSettingsLeavesNoFileAndLeavesAFileAlone)
{
    CTempDir dir;
    const std::string file = dir.File("data/plinth/config.db");
    EXPECT_EQ(Helper({"idle"}, WithFile(file)), std::vector<std::string>{"idle"});
    EXPECT_FALSE(Exists(dir.File("data")));

    EXPECT_EQ(Helper({"stage-write", c_stageID}, WithFile(file)), std::vector<std::string>{"written"});
    const std::string before = ReadBytes(file);
    EXPECT_EQ(Helper({"idle"}, WithFile(file)), std::vector<std::string>{"idle"});
    EXPECT_TRUE(ReadBytes(file) == before);
    EXPECT_FALSE(Exists(file + "-wal"));
}

TEST(ConfigProcesses, AnUnusableFileIsReportedLeftAloneAndTheProcessRunsInMemory)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    WriteBytes(file, "these are not the settings you are looking for\n");
    int code = -1;
    const auto lines = RunHelper({"report"}, WithFile(file), code, true);
    EXPECT_EQ(code, 0);
    const auto has = [&](const std::string& start) {
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(start, 0) == 0; });
    };
    EXPECT_TRUE(has("plinth: settings are kept in memory only: " + file));
    EXPECT_TRUE(has("path :memory:"));
    EXPECT_TRUE(has("lasterror " + file));
    EXPECT_TRUE(has("end"));
    EXPECT_EQ(ReadBytes(file), "these are not the settings you are looking for\n");
}

// Generation of the big set in the file: 1 or 2 when every nested set holds that generation and
// all of them are there, -1 when the file holds a mixture, 0 when nothing.
int StoredGeneration(const std::string& file, int count)
{
    const auto stored = StoredSet(file, {7000, 1});
    if (!stored)
        return 0;
    const auto sets = SetsOf(*stored, 1);
    if (static_cast<int>(sets.size()) != count)
        return -1;
    std::set<int> generations;
    for (const auto& set : sets) {
        if (!set || set->Count() != 20)
            return -1;
        for (int p = 0; p < 10; ++p)
            generations.insert(IntOf(*set, p).value_or(-1));
    }
    return generations.size() == 1 ? *generations.begin() : -1;
}

TEST(ConfigProcesses, AKillDuringAWriteLeavesTheOldOrTheNewStateComplete)
{
    struct tCase {
        const char* name;
        const char* kind; // which file's write stops the child
        int write;        // the how-manieth write into that file
        int expected;     // generation in the file afterwards
    };
    const tCase cases[] = {
        {"first write of the log", "wal", 1, 1},
        {"in the middle of the log", "wal", 400, 1},
        {"late in the log", "wal", 2500, 1}, // of about 3000
        {"copying the committed log into the database", "main", 1, 2},
        {"late in that copy", "main", 300, 2},
    };
    constexpr int c_sets = 1500; // big enough that the log is copied back right after the commit
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string file = dir.File("config.db");
        CChild child({"kill-target", file, std::to_string(c_sets), c.kind, std::to_string(c.write)},
                     WithFile(cfg::c_inMemory));
        EXPECT_EQ(child.ReadLine(), std::optional<std::string>("old"));
        EXPECT_EQ(child.ReadLine(), std::optional<std::string>("blocked"));
        child.Kill(SIGKILL);
        EXPECT_EQ(child.Wait(), 128 + SIGKILL);
        EXPECT_EQ(StoredGeneration(file, c_sets), c.expected);
    }
}

TEST(ConfigProcesses, TwoProcessesWritingOneFileLeaveItWhole)
{
    CTempDir dir;
    const std::string file = dir.File("config.db");
    StoreSet(file, {1, 1}, NewSet()); // the file exists before both start
    constexpr int c_rounds = 200;
    CChild first({"hammer", "8001", std::to_string(c_rounds)}, WithFile(file));
    CChild second({"hammer", "8002", std::to_string(c_rounds)}, WithFile(file));
    EXPECT_EQ(first.ReadLine(), std::optional<std::string>("ready"));
    EXPECT_EQ(second.ReadLine(), std::optional<std::string>("ready"));
    first.WriteLine("go");
    second.WriteLine("go");
    for (CChild* child : {&first, &second}) {
        const auto lines = child->ReadAllLines();
        EXPECT_EQ(lines, std::vector<std::string>{"done"});
        EXPECT_EQ(child->Wait(), 0);
    }

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    for (int group : {8001, 8002}) {
        const auto own = StoredSet(file, {group, 1});
        ASSERT_TRUE(own);
        const auto nested = SetsOf(*own, 1);
        ASSERT_EQ(nested.size(), 1u);
        EXPECT_EQ(IntOf(*nested[0], 1), c_rounds);
        EXPECT_EQ(IntOf(*nested[0], 2), c_rounds);
    }
    // The shared key holds one process's last write, whole.
    const auto shared = StoredSet(file, {9000, 1});
    ASSERT_TRUE(shared);
    EXPECT_EQ(IntOf(*shared, 1), IntOf(*shared, 3));
    EXPECT_EQ(IntOf(*shared, 2), c_rounds);
}

} // namespace
