// The child process of the configuration-file tests. Each mode does one thing a process of an
// application does with its settings and reports on standard output, one line at a time; the
// configuration file comes from PLINTH_CONFIG (or the default path), as in an application.
//
//   stage-write <stage ID>      sets up a test stage's settings, Exit, delete; no Flush
//   stage-read <stage ID>       creates the stage again and prints its settings
//   stage-reset <stage ID>      unplugs the stage's set and flushes (as the stage manager's Reset
//                               does), then prints the settings of a new stage
//   later-path <file> <stage ID>  started in memory: chooses <file> in main, then stage-write
//   end <group> <return|exit>   plugs a set, changes a nested set and ends the process at once
//   report                      prints the configuration path and LastError(), plugs, flushes
//   idle                        plugs an empty set (as the stage manager does) and changes nothing
//   hammer <group> <rounds>     after "go" on standard input: writes and flushes in a loop
//   kill-target <file> <sets> <kind> <n>
//                               writes a big set (generation 1), then a new one (generation 2)
//                               and stops inside the n-th write into the file of <kind> ("wal" or
//                               "main") of it, printing "blocked"
//
// Exit code 0 when the mode did what it says, 1 (with a line "error ...") when not.

#include <cfg/GlobalPropSets.h>

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include <plinth/Plinth.h>

#include "CTestStage.h"
#include "StageTestSupport.h"

namespace {

void Say(const std::string& line) { std::cout << line << std::endl; }

[[noreturn]] void Fail(const std::string& what)
{
    Say("error " + what);
    std::exit(1);
}

void Check(bool ok, const std::string& what)
{
    if (!ok)
        Fail(what);
}

std::string Number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

mem::CBin Int(std::int32_t value) { return mem::CBin::Of(value); }

mem::CBin Sets(const mem::PropSetVector& sets)
{
    mem::CBin bin;
    bin.Store(sets);
    return bin;
}

utl::PropSetPtr NewSet(const std::vector<utl::CPropSet::Entry>& entries)
{
    auto set = boost::make_shared<utl::CPropSet>();
    set->Assign(entries);
    return set;
}

// Stages

stgtest::tTestStageConfig StageConfig() { return stgtest::FullDriver({stgtest::XAxis(1), stgtest::YAxis(2)}); }

int StageWrite(std::uint32_t stageID)
{
    auto* stage = new stgtest::CTestStage(stageID, StageConfig());
    Check(stage->Init() == stg::c_OK, "Init");
    mem::CBin calibration = mem::CBin::Of(0.25);
    calibration.SetUnit(utl::c_mm);
    Check(stage->SetPropertyVessel(1, stg::c_propCalibration, calibration) == stg::c_OK, "calibration 1");
    calibration = mem::CBin::Of(125.0);
    calibration.SetUnit(utl::c_nm);
    Check(stage->SetPropertyVessel(2, stg::c_propCalibration, calibration) == stg::c_OK, "calibration 2");
    Check(stage->SetAxisLimits(1, -1000, 2000) == stg::c_OK, "limits 1");
    Check(stage->SetAxisLimits(2, -5, 5) == stg::c_OK, "limits 2");
    Check(stage->SetSpeeds({{1, 3.5}, {2, 4.25}}) == stg::c_OK, "speeds");
    stage->SetPropertyVessel(stg::c_propPrecisionEnabled, mem::CBin::Of(true));
    stage->SetPropertyVessel(stg::c_propBacklashEnable, mem::CBin::Of(true));
    Check(stage->SetPosition({{1, 123}, {2, -456}}) == stg::c_OK, "position");
    Check(stage->Exit() == stg::c_OK, "Exit");
    delete stage;
    Say("written");
    return 0; // no Flush: the end of the process writes
}

std::string StageFlag(const stg::CLowLevelStage& stage, int propID)
{
    mem::CBin value;
    bool flag = false;
    if (stage.GetPropertyVessel(propID, value) != stg::c_OK || !value.Get(flag))
        return "none";
    return flag ? "1" : "0";
}

// Every setting of the stage that stage-write sets, one line each.
void PrintStage(std::uint32_t stageID)
{
    auto stage = std::make_unique<stgtest::CTestStage>(stageID, StageConfig());
    Check(stage->Init() == stg::c_OK, "Init");
    for (int axis : {1, 2}) {
        const std::string a = std::to_string(axis);
        mem::CBin value;
        double calibration = 0.0;
        utl::CUnit unit;
        if (stage->GetPropertyVessel(axis, stg::c_propCalibration, value) == stg::c_OK && value.Get(calibration))
            Say("calibration " + a + " " + Number(calibration) + " " +
                (value.GetUnit(unit) ? std::to_string(unit.GetCode()) : "none"));
        else
            Say("calibration " + a + " none");
        std::int64_t lower = 0, upper = 0;
        if (stage->AreLimitsDefined(&axis) && stage->GetAxisLimits(axis, lower, upper) == stg::c_OK)
            Say("limits " + a + " " + std::to_string(lower) + " " + std::to_string(upper));
        else
            Say("limits " + a + " none");
        stg::CLowLevelStage::SpeedMap speeds{{axis, 0.0}};
        Say("speed " + a + " " +
            (stage->GetSpeeds(speeds, stg::eGivenAxes) == stg::c_OK ? Number(speeds[axis]) : "none"));
        std::int64_t last = 0;
        if (stage->GetPropertyVessel(axis, stg::c_propLastPosition, value) == stg::c_OK && value.Get(last))
            Say("lastposition " + a + " " + std::to_string(last));
        else
            Say("lastposition " + a + " none");
    }
    Say("precision " + StageFlag(*stage, stg::c_propPrecisionEnabled));
    Say("backlash " + StageFlag(*stage, stg::c_propBacklashEnable));
    Say("end");
}

int StageReset(std::uint32_t stageID)
{
    {
        stgtest::CTestStage stage(stageID, StageConfig());
        Check(stage.Init() == stg::c_OK, "Init");
    }
    cfg::UnPlugGlobalPropSet(3, stageID);
    Check(cfg::Flush(), "Flush: " + cfg::LastError());
    PrintStage(stageID); // a new stage in this process
    return 0;
}

int LaterPath(const std::string& file, std::uint32_t stageID)
{
    // The stage manager plugged its set while the library loaded, in memory.
    const utl::PropSetPtr manager = cfg::GetGlobalPropSet(3, 0);
    Check(manager != nullptr, "no set of the stage manager");
    Check(cfg::GetConfigPath() == cfg::c_inMemory, "not in memory at first: " + cfg::GetConfigPath());
    Check(cfg::SetConfigPath(file), "SetConfigPath: " + cfg::LastError());
    mem::CBin value;
    std::int32_t marker = 0;
    Say("marker " +
        std::string(manager->GetProperty(990001, value) && value.Get(marker) ? std::to_string(marker) : "none"));
    manager->SetProperty(990002, Int(77));
    return StageWrite(stageID);
}

int End(int group, const std::string& how)
{
    const auto nested = NewSet({{1, Int(1)}});
    const auto set = NewSet({{1, Sets({nested})}});
    Check(cfg::PlugGlobalPropSet(group, 1, set, true), "plug");
    Check(cfg::Flush(), "Flush");
    nested->SetProperty(1, Int(42)); // unwritten when the process ends right away
    Say("changed");
    if (how == "exit")
        std::exit(0);
    return 0;
}

int Report()
{
    Say("path " + cfg::GetConfigPath());
    Say("lasterror " + cfg::LastError());
    const auto set = NewSet({{1, Int(1)}});
    Check(cfg::PlugGlobalPropSet(7200, 1, set, false), "plug");
    set->SetProperty(2, Int(2));
    Check(cfg::Flush(), "Flush");
    Say("end");
    return 0;
}

int Idle()
{
    const auto set = NewSet({});
    Check(cfg::PlugGlobalPropSet(7400, 1, set, false), "plug");
    Check(cfg::GetGlobalPropSet(7400, 1) == set, "plugged set");
    Say("idle");
    return 0;
}

int Hammer(int group, int rounds)
{
    const auto own = NewSet({});
    const auto shared = NewSet({});
    Check(cfg::PlugGlobalPropSet(group, 1, own, true), "plug");
    Check(cfg::PlugGlobalPropSet(9000, 1, shared, true), "plug shared");
    Say("ready");
    std::string go;
    std::getline(std::cin, go);
    for (int round = 1; round <= rounds; ++round) {
        own->SetProperty(1, Sets({NewSet({{1, Int(round)}, {2, Int(round)}})}));
        shared->Assign({{1, Int(group)}, {2, Int(round)}, {3, Int(group)}});
        Check(cfg::Flush(), "Flush in round " + std::to_string(round) + ": " + cfg::LastError());
    }
    Say("done");
    return 0;
}

// A file-system layer under SQLite that stops the process inside a chosen write.
namespace shim {

struct tFile {
    sqlite3_file base;
    sqlite3_file* real;
    int flags;
};

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
sqlite3_io_methods g_methods;
std::atomic<int> g_kind{0}; // SQLITE_OPEN_WAL or SQLITE_OPEN_MAIN_DB once armed
std::atomic<int> g_countdown{0};
std::atomic<int> g_walWrites{0}, g_mainWrites{0}; // since armed

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<tFile*>(file)->real; }

int Close(sqlite3_file* f)
{
    const int rc = Real(f)->pMethods->xClose(Real(f));
    return rc;
}
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); }
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 o)
{
    const int kind = g_kind.load(), flags = reinterpret_cast<tFile*>(f)->flags;
    if (kind != 0)
        ++((flags & SQLITE_OPEN_WAL) ? g_walWrites : g_mainWrites);
    if (kind != 0 && (flags & kind) && g_countdown.fetch_sub(1) == 1) {
        static const char c_blocked[] = "blocked\n";
        (void)!write(STDOUT_FILENO, c_blocked, sizeof c_blocked - 1);
        for (;;)
            pause(); // until the test kills the process
    }
    return Real(f)->pMethods->xWrite(Real(f), p, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 s) { return Real(f)->pMethods->xTruncate(Real(f), s); }
int Sync(sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); }
int FileSize(sqlite3_file* f, sqlite3_int64* s) { return Real(f)->pMethods->xFileSize(Real(f), s); }
int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
int CheckReservedLock(sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); }
int FileControl(sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int i, int size, int extend, void volatile** p)
{
    return Real(f)->pMethods->xShmMap(Real(f), i, size, extend, p);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags)
{
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) { return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag); }
int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); }
int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); }

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    auto* shimFile = reinterpret_cast<tFile*>(file);
    shimFile->real = reinterpret_cast<sqlite3_file*>(shimFile + 1);
    shimFile->flags = flags;
    const int rc = g_real->xOpen(g_real, name, shimFile->real, flags, outFlags);
    shimFile->base.pMethods = shimFile->real->pMethods ? &g_methods : nullptr;
    return rc;
}

void Install()
{
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs = *g_real;
    g_vfs.zName = "plinth-test-shim";
    g_vfs.szOsFile = static_cast<int>(sizeof(tFile)) + g_real->szOsFile;
    g_vfs.xOpen = Open;
    g_methods = sqlite3_io_methods{3,
                                   Close,
                                   Read,
                                   Write,
                                   Truncate,
                                   Sync,
                                   FileSize,
                                   Lock,
                                   Unlock,
                                   CheckReservedLock,
                                   FileControl,
                                   SectorSize,
                                   DeviceCharacteristics,
                                   ShmMap,
                                   ShmLock,
                                   ShmBarrier,
                                   ShmUnmap,
                                   Fetch,
                                   Unfetch};
    sqlite3_vfs_register(&g_vfs, 1);
}

} // namespace shim

// The big set: `count` nested sets of 20 properties, all telling the generation.
mem::CBin Generation(int generation, int count)
{
    mem::PropSetVector sets;
    const std::wstring text(150, static_cast<wchar_t>(L'a' + generation));
    for (int i = 0; i < count; ++i) {
        std::vector<utl::CPropSet::Entry> entries;
        for (int p = 0; p < 10; ++p)
            entries.emplace_back(p, Int(generation));
        for (int p = 10; p < 20; ++p) {
            mem::CBin value;
            value.Store(text);
            entries.emplace_back(p, value);
        }
        sets.push_back(NewSet(entries));
    }
    return Sets(sets);
}

int KillTarget(const std::string& file, int count, const std::string& kind, int n)
{
    shim::Install();
    Check(cfg::SetConfigPath(file), "SetConfigPath: " + cfg::LastError());
    const auto root = NewSet({});
    Check(cfg::PlugGlobalPropSet(7000, 1, root, true), "plug");
    root->SetProperty(1, Generation(1, count)); // one change: a write has all of a generation or none
    Check(cfg::Flush(), "Flush 1: " + cfg::LastError());
    Say("old");
    const mem::CBin next = Generation(2, count);
    shim::g_countdown = n;
    shim::g_kind = kind == "wal" ? SQLITE_OPEN_WAL : SQLITE_OPEN_MAIN_DB;
    root->SetProperty(1, next);
    Check(cfg::Flush(), "Flush 2: " + cfg::LastError());
    // Only when the chosen write never came.
    Say("new " + std::to_string(shim::g_walWrites) + " " + std::to_string(shim::g_mainWrites));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        Fail("no mode");
    const std::string& mode = args[0];
    const auto arg = [&](std::size_t i) -> const std::string& {
        if (i >= args.size())
            Fail("missing argument " + std::to_string(i) + " of " + mode);
        return args[i];
    };
    if (mode == "stage-write")
        return StageWrite(static_cast<std::uint32_t>(std::stoul(arg(1))));
    if (mode == "stage-read") {
        PrintStage(static_cast<std::uint32_t>(std::stoul(arg(1))));
        return 0;
    }
    if (mode == "stage-reset")
        return StageReset(static_cast<std::uint32_t>(std::stoul(arg(1))));
    if (mode == "later-path")
        return LaterPath(arg(1), static_cast<std::uint32_t>(std::stoul(arg(2))));
    if (mode == "end")
        return End(std::stoi(arg(1)), arg(2));
    if (mode == "report")
        return Report();
    if (mode == "idle")
        return Idle();
    if (mode == "hammer")
        return Hammer(std::stoi(arg(1)), std::stoi(arg(2)));
    if (mode == "kill-target")
        return KillTarget(arg(1), std::stoi(arg(2)), arg(3), std::stoi(arg(4)));
    Fail("unknown mode " + mode);
}
