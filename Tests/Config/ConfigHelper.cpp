// The child process of the configuration-file tests. Each mode does what a process of an
// application does with its settings and reports on standard output, a line at a time; the file
// comes from PLINTH_CONFIG, as in an application. Exit code 1 (with a line "error ...") on failure.
//
//   stage-write <ID>         sets up a test stage's settings, Exit, delete; no Flush
//   stage-read <ID>          creates the stage again and prints its settings
//   stage-reset <ID>         unplugs the stage's set and flushes (as the stage manager's Reset
//                            does), then prints the settings of a new stage
//   stage-change <ID> <calibration|speed|none>
//                            creates the stage, says "loaded", waits for SIGUSR1, changes one
//                            setting (or none) and flushes
//   end <return|exit>        changes a nested set of a plugged set and ends the process at once
//   hammer <group> <rounds>  writes and flushes in a loop
//   kill-target <file> <sets> <wal|main> <n>
//                            flushes a big set (generation 1), then a new one (generation 2)
//                            and stops inside the n-th write into the given file, saying "blocked"

#include <cfg/GlobalPropSets.h>

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include <plinth/Plinth.h>

#include "CTestStage.h"
#include "ConfigTestSupport.h"
#include "StageTestSupport.h"

namespace {

using namespace cfgtest;

void Say(const std::string& line) { std::cout << line << std::endl; }

void Check(bool ok, const std::string& what)
{
    if (!ok) {
        Say("error " + what);
        std::exit(1);
    }
}

std::string Number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

stgtest::tTestStageConfig StageConfig() { return stgtest::FullDriver({stgtest::XAxis(1), stgtest::YAxis(2)}); }

int StageWrite(std::uint32_t stageID)
{
    auto* stage = new stgtest::CTestStage(stageID, StageConfig());
    Check(stage->Init() == stg::c_OK, "Init");
    Check(stage->SetPropertyVessel(1, stg::c_propCalibration, Value(0.25, &utl::c_mm)) == stg::c_OK, "calibration");
    Check(stage->SetPropertyVessel(2, stg::c_propCalibration, Value(125.0, &utl::c_nm)) == stg::c_OK, "calibration");
    Check(stage->SetAxisLimits(1, -1000, 2000) == stg::c_OK && stage->SetAxisLimits(2, -5, 5) == stg::c_OK, "limits");
    Check(stage->SetSpeeds({{1, 3.5}, {2, 4.25}}) == stg::c_OK, "speeds");
    stage->SetPropertyVessel(stg::c_propPrecisionEnabled, Value(true));
    stage->SetPropertyVessel(stg::c_propBacklashEnable, Value(true));
    Check(stage->SetPosition({{1, 123}, {2, -456}}) == stg::c_OK, "position");
    Check(stage->Exit() == stg::c_OK, "Exit");
    delete stage;
    Say("written");
    return 0; // no Flush: the end of the process writes
}

// Every setting that stage-write sets, one line each.
void PrintStage(std::uint32_t stageID)
{
    stgtest::CTestStage stage(stageID, StageConfig());
    Check(stage.Init() == stg::c_OK, "Init");
    for (int axis : {1, 2}) {
        const std::string a = std::to_string(axis);
        mem::CBin value;
        double calibration = 0.0;
        utl::CUnit unit;
        std::string line = "calibration " + a + " none";
        if (stage.GetPropertyVessel(axis, stg::c_propCalibration, value) == stg::c_OK && value.Get(calibration))
            line = "calibration " + a + " " + Number(calibration) + " " +
                   (value.GetUnit(unit) ? std::to_string(unit.GetCode()) : "none");
        Say(line);
        std::int64_t lower = 0, upper = 0;
        const bool limits = stage.AreLimitsDefined(&axis) && stage.GetAxisLimits(axis, lower, upper) == stg::c_OK;
        Say("limits " + a + " " + (limits ? std::to_string(lower) + " " + std::to_string(upper) : "none"));
        stg::CLowLevelStage::SpeedMap speeds{{axis, 0.0}};
        Say("speed " + a + " " +
            (stage.GetSpeeds(speeds, stg::eGivenAxes) == stg::c_OK ? Number(speeds[axis]) : "none"));
        std::int64_t last = 0;
        const bool known =
            stage.GetPropertyVessel(axis, stg::c_propLastPosition, value) == stg::c_OK && value.Get(last);
        Say("lastposition " + a + " " + (known ? std::to_string(last) : "none"));
    }
    for (const auto& [name, id] :
         {std::pair("precision ", stg::c_propPrecisionEnabled), std::pair("backlash ", stg::c_propBacklashEnable)}) {
        mem::CBin value;
        bool flag = false;
        Say(name + std::string(stage.GetPropertyVessel(id, value) == stg::c_OK && value.Get(flag) ? (flag ? "1" : "0")
                                                                                                  : "none"));
    }
    Say("end");
}

int StageReset(std::uint32_t stageID)
{
    {
        stgtest::CTestStage stage(stageID, StageConfig());
        Check(stage.Init() == stg::c_OK, "Init");
    }
    cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, stageID);
    Check(cfg::Flush(), "Flush: " + cfg::LastError());
    PrintStage(stageID);
    return 0;
}

int StageChange(std::uint32_t stageID, const std::string& what)
{
    sigset_t go;
    sigemptyset(&go);
    sigaddset(&go, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &go, nullptr);
    stgtest::CTestStage stage(stageID, StageConfig());
    Check(stage.Init() == stg::c_OK, "Init");
    Say("loaded");
    int signal = 0;
    sigwait(&go, &signal);
    if (what == "calibration")
        Check(stage.SetPropertyVessel(1, stg::c_propCalibration, Value(0.5, &utl::c_mm)) == stg::c_OK, "calibration");
    else if (what == "speed")
        Check(stage.SetSpeeds({{2, 9.5}}) == stg::c_OK, "speed");
    Check(cfg::Flush(), "Flush: " + cfg::LastError());
    Say("done");
    return 0;
}

int End(const std::string& how)
{
    const auto nested = NewSet({{1, Int(1)}});
    Check(cfg::PlugGlobalPropSet(7300, 1, NewSet({{1, Sets({nested})}}), true) && cfg::Flush(), "plug");
    nested->SetProperty(1, Int(42)); // unwritten when the process ends right away
    Say("changed");
    if (how == "exit")
        std::exit(0);
    return 0;
}

int Hammer(int group, int rounds)
{
    const auto own = NewSet(), shared = NewSet();
    Check(cfg::PlugGlobalPropSet(group, 1, own, true) && cfg::PlugGlobalPropSet(9000, 1, shared, true), "plug");
    for (int round = 1; round <= rounds; ++round) {
        own->SetProperty(1, Sets({NewSet({{1, Int(round)}, {2, Int(round)}})}));
        shared->Assign({{1, Int(group)}, {2, Int(round)}, {3, Int(group)}});
        Check(cfg::Flush(), "Flush: " + cfg::LastError());
    }
    Say("done");
    return 0;
}

// A file-system layer under SQLite that stops the process inside a chosen write. Our file object
// is SQLite's own followed by tShim; only the write method is replaced.
struct tShim {
    const sqlite3_io_methods* real;
    int flags;
};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
std::map<const sqlite3_io_methods*, sqlite3_io_methods> g_methods; // ours, by SQLite's
int g_kind = 0;                                                    // SQLITE_OPEN_WAL or SQLITE_OPEN_MAIN_DB once armed
int g_countdown = 0;

tShim& ShimOf(sqlite3_file* file)
{
    return *reinterpret_cast<tShim*>(reinterpret_cast<char*>(file) + g_real->szOsFile);
}

int ShimWrite(sqlite3_file* file, const void* data, int size, sqlite3_int64 offset)
{
    if ((ShimOf(file).flags & g_kind) && --g_countdown == 0) {
        Say("blocked");
        for (;;)
            pause(); // until the test kills the process
    }
    return ShimOf(file).real->xWrite(file, data, size, offset);
}

int ShimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    const int rc = g_real->xOpen(g_real, name, file, flags, outFlags);
    ShimOf(file) = tShim{file->pMethods, flags};
    if (file->pMethods) {
        auto [it, added] = g_methods.emplace(file->pMethods, *file->pMethods);
        it->second.xWrite = ShimWrite;
        file->pMethods = &it->second;
    }
    return rc;
}

mem::CBin Generation(int generation, int count)
{
    mem::PropSetVector sets;
    for (int i = 0; i < count; ++i) {
        std::vector<utl::CPropSet::Entry> entries;
        for (int p = 0; p < 20; ++p)
            entries.emplace_back(p, p < 10 ? Int(generation) : Value(std::wstring(150, L'a' + generation)));
        sets.push_back(NewSet(entries));
    }
    return Sets(sets);
}

int KillTarget(const std::string& file, int count, const std::string& kind, int n)
{
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs = *g_real;
    g_vfs.zName = "plinth-test-shim";
    g_vfs.szOsFile = g_real->szOsFile + static_cast<int>(sizeof(tShim));
    g_vfs.xOpen = ShimOpen;
    sqlite3_vfs_register(&g_vfs, 1);
    Check(cfg::SetConfigPath(file), "SetConfigPath: " + cfg::LastError());
    const auto root = NewSet();
    Check(cfg::PlugGlobalPropSet(7000, 1, root, true), "plug");
    root->SetProperty(1, Generation(1, count)); // one change: a write has all of a generation or none
    Check(cfg::Flush(), "Flush 1: " + cfg::LastError());
    Say("old");
    const mem::CBin next = Generation(2, count);
    g_countdown = n;
    g_kind = kind == "wal" ? SQLITE_OPEN_WAL : SQLITE_OPEN_MAIN_DB;
    root->SetProperty(1, next);
    Check(cfg::Flush(), "Flush 2: " + cfg::LastError());
    Say("new"); // only when the chosen write never came
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto arg = [&](std::size_t i) {
        Check(i < args.size(), "missing argument");
        return args[i];
    };
    const std::string mode = arg(0);
    if (mode == "stage-write")
        return StageWrite(std::stoul(arg(1)));
    if (mode == "stage-read")
        return PrintStage(std::stoul(arg(1))), 0;
    if (mode == "stage-reset")
        return StageReset(std::stoul(arg(1)));
    if (mode == "stage-change")
        return StageChange(std::stoul(arg(1)), arg(2));
    if (mode == "end")
        return End(arg(1));
    if (mode == "hammer")
        return Hammer(std::stoi(arg(1)), std::stoi(arg(2)));
    if (mode == "kill-target")
        return KillTarget(arg(1), std::stoi(arg(2)), arg(3), std::stoi(arg(4)));
    Check(false, "unknown mode " + mode);
}
