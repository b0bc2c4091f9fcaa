// plinth_stress: worker threads drive four active stages through the flat API at once for a bounded
// time, while one thread unregisters, re-registers and resets them and event subscribers read
// positions back. It fails on a target that breaks the limits in force (checked inside the
// drivers, see CLimitGuard) and on a hang (a watchdog prints every thread's stack).
//
//   plinth_stress [--seconds N] [--seed N]
//
// Each thread's operations come from its own generator seeded from --seed, so a run can be
// repeated; the interleaving of the threads cannot.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <boost/any.hpp>

#include <plinth/Plinth.h>

#include "CLimitGuard.h"
#include "CSimStage.h"
#include "StageTestSupport.h"

namespace {

using Um = utl::TUnitValue<double>;
using Clock = std::chrono::steady_clock;

constexpr int c_workers = 6; // plus the churn thread
constexpr auto c_hangLimit = std::chrono::seconds(10);

enum class EKind { SimFull, SimBlocking, TestFull, TestEmulated };
struct tStage {
    std::uint32_t id;
    EKind kind;
};
constexpr tStage c_stages[] = {
    {7001, EKind::SimFull}, {7002, EKind::SimBlocking}, {7003, EKind::TestFull}, {7004, EKind::TestEmulated}};

bool IsSim(EKind kind) { return kind == EKind::SimFull || kind == EKind::SimBlocking; }

// The limits every bring-up writes (µm); inside the simulated travel.
double LowerUm(stg::EAxisType type) { return type == stg::eAxisZ ? 1000.0 : -20000.0; }
double UpperUm(stg::EAxisType type) { return type == stg::eAxisZ ? 9000.0 : 20000.0; }

// The test driver's X, Y and Z; the library builds the emulated driver's started moves and free
// runs out of SetPosition, on its worker thread.
stgtest::tTestStageConfig TestConfig(bool emulated)
{
    stgtest::tTestStageConfig config = stgtest::FullDriver({stgtest::XAxis(1), stgtest::YAxis(2), stgtest::ZAxis(3)});
    if (emulated)
        for (auto slot : {stgtest::ESlot::MoveToPos, stgtest::ESlot::WaitForStop, stgtest::ESlot::MoveFree,
                          stgtest::ESlot::MoveToPosAtSpeed})
            config.implemented.erase(slot);
    return config;
}

} // namespace

// The program is its own driver module: the stage manager finds this factory in it.
extern "C" __attribute__((visibility("default"))) stg::CLowLevelStage* CreateStage(std::uint32_t stageID)
{
    for (const tStage& stage : c_stages) {
        if (stage.id != stageID)
            continue;
        if (IsSim(stage.kind))
            return new stgtest::CLimitGuard<simstage::CSimStage>(stageID);
        return new stgtest::CLimitGuard<stgtest::CTestStage>(stageID, TestConfig(stage.kind == EKind::TestEmulated));
    }
    return nullptr;
}

namespace {

stg::CStageManager& Manager() { return stg::CStageManager::StageManager(); }
stg::tStageInfo Info(const tStage& stage)
{
    static const plat::ModuleHandle self = dlopen(nullptr, RTLD_NOW); // this program: see CreateStage
    return {self, stage.id};
}

// Makes the stage usable again after it came (back) without its settings.
void Configure(const tStage& stage)
{
    if (IsSim(stage.kind)) {
        const int profile = stage.kind == EKind::SimFull ? simstage::eSimFull : simstage::eSimBlockingOnly;
        stg::SetProperty(stage.id, simstage::c_propSimProfile, profile);
        stg::SetProperty(stage.id, simstage::c_propSimTimeScale, 1000.0);
    }
    for (stg::EAxisType type : {stg::eAxisX, stg::eAxisY, stg::eAxisZ}) {
        stg::EnableAxis(stage.id, type, true);
        stg::SetAxisLimits(stage.id, type, Um(LowerUm(type), utl::c_mum), Um(UpperUm(type), utl::c_mum));
    }
}

void BringUp(const tStage& stage)
{
    Manager().RegisterStage(Info(stage));
    Manager().ActivateStage(Info(stage));
    Configure(stage);
}

// What the watchdog sees of a thread.
struct tThreadState {
    std::atomic<long> ops{0};
    std::atomic<const char*> op{"start"};
    std::atomic<std::uint32_t> stage{0};
    std::atomic<bool> done{false};
};

std::atomic<bool> g_stop{false};
std::atomic<long> g_events{0};

class CWorker {
public:
    CWorker(std::uint64_t seed, tThreadState& state) : m_rng(seed), m_state(state) {}

    // Thread 0 alone escapes Z: the escape table is documented as not shared between threads.
    void Run(bool escapes)
    {
        while (!g_stop) {
            const tStage& stage = c_stages[Pick(std::size(c_stages))];
            m_state.stage = stage.id;
            Operate(stage.id, escapes);
            ++m_state.ops;
        }
        m_state.done = true;
    }

private:
    std::size_t Pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(m_rng); }
    double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(m_rng); }
    bool Chance(int percent) { return static_cast<int>(Pick(100)) < percent; }
    // Mostly inside the limits written at bring-up, sometimes outside (the library must refuse).
    Um Target(stg::EAxisType type)
    {
        const double margin = (UpperUm(type) - LowerUm(type)) * 0.2;
        return Um(Uniform(LowerUm(type) - margin, UpperUm(type) + margin), utl::c_mum);
    }

    void Operate(std::uint32_t id, bool escapes)
    {
        const auto type = static_cast<stg::EAxisType>(1 + Pick(3));
        static constexpr const char* c_ops[] = {"MoveTo",          "MoveTo",        "MoveToXY",       "GetPosition",
                                                "SetAxisLimits",   "SetAxisLimits", "UndefineLimits", "EnableAxis",
                                                "EnablePrecision", "EscapeZ",       "StopMoving",     "MoveFree",
                                                "WaitForStop",     "SetAxisSpeed",  "SetProperty"};
        const std::size_t op = Pick(std::size(c_ops));
        m_state.op = c_ops[op]; // what the watchdog names
        switch (op) {
        case 0:
        case 1:
            stg::MoveTo(id, type, Target(type), Chance(50));
            break;
        case 2: {
            const utl::TUnitValue<geo::CdVec2> xy(
                geo::CdVec2(Target(stg::eAxisX).GetValue(), Target(stg::eAxisY).GetValue()), utl::c_mum);
            stg::MoveToXY(id, xy, Chance(50));
            break;
        }
        case 3: {
            std::map<stg::EAxisType, Um> positions;
            stg::GetPosition(id, positions, stg::eAllAxes);
            utl::TUnitValue<geo::CdVec3> xyz;
            stg::GetPositionXYZ(id, xyz);
            break;
        }
        case 4:
        case 5: {
            const double span = UpperUm(type) - LowerUm(type);
            const double lower = LowerUm(type) + Uniform(0.0, 0.4) * span;
            stg::SetAxisLimits(id, type, Um(lower, utl::c_mum), Um(lower + Uniform(0.1, 0.6) * span, utl::c_mum));
            break;
        }
        case 6:
            stg::UndefineLimits(id, type);
            break;
        case 7:
            stg::EnableAxis(id, type, Chance(70));
            break;
        case 8:
            stg::EnablePrecision(id, Chance(50));
            break;
        case 9:
            if (escapes)
                stg::EscapeZ(id, Chance(50));
            break;
        case 10:
            stg::StopMoving(id);
            break;
        case 11:
            stg::MoveFree(id, type, (Chance(50) ? 1.0 : -1.0) * (Chance(50) ? 50.0 : 5000.0)); // some out of range
            break;
        case 12:
            stg::WaitForStop(id, type, 100);
            break;
        case 13:
            stg::SetAxisSpeed(id, type, Uniform(20000.0, 150000.0));
            break;
        default:
            stg::SetProperty(id, stg::c_propAngleXY, Uniform(-0.001, 0.001));
            stg::SetProperty(id, stg::c_propBacklashEnable, Chance(50));
            stg::SetProperty(id, type, stg::c_propOffsetPosition, static_cast<std::int64_t>(Uniform(-100.0, 100.0)));
            break;
        }
    }

    std::mt19937_64 m_rng;
    tThreadState& m_state;
};

void Churn(std::uint64_t seed, tThreadState& state)
{
    std::mt19937_64 rng(seed);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 80)); // pacing only
        const tStage& stage = c_stages[rng() % std::size(c_stages)];
        state.stage = stage.id;
        switch (rng() % 3) {
        case 0:
            state.op = "UnregisterStage";
            Manager().UnregisterStage(Info(stage));
            BringUp(stage);
            break;
        case 1:
            state.op = "Reset";
            Manager().Reset(Info(stage));
            Configure(stage);
            break;
        default:
            state.op = "ReInitialize";
            Manager().ReInitialize(Info(stage));
            Configure(stage);
            break;
        }
        ++state.ops;
    }
    state.done = true;
}

// Fails the run when a thread has made no progress for c_hangLimit: says where each stuck thread
// is and lets gdb print every thread's stack.
void Watch(std::vector<tThreadState>& states)
{
    std::vector<long> seen(states.size(), -1);
    std::vector<Clock::time_point> since(states.size(), Clock::now());
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        bool allDone = true, hung = false;
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i].done)
                continue;
            allDone = false;
            const long ops = states[i].ops;
            if (ops != seen[i]) {
                seen[i] = ops;
                since[i] = Clock::now();
            } else if (Clock::now() - since[i] > c_hangLimit) {
                std::fprintf(stderr, "HANG: thread %zu has been in %s on stage %u for over %lld s\n", i,
                             states[i].op.load(), static_cast<unsigned>(states[i].stage),
                             static_cast<long long>(c_hangLimit.count()));
                hung = true;
            }
        }
        if (allDone)
            return;
        if (hung) {
            const std::string gdb = "gdb -p " + std::to_string(getpid()) +
                                    " -batch -nx -ex 'set print thread-events off' -ex 'thread apply all bt' 1>&2";
            if (std::system(gdb.c_str()) != 0)
                std::fprintf(stderr, "(gdb could not print the stacks)\n");
            _exit(2);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Settings stay in memory: a stress run must not write into anyone's configuration.
    if (!std::getenv("PLINTH_CONFIG")) {
        setenv("PLINTH_CONFIG", ":memory:", 1);
        execv("/proc/self/exe", argv);
    }
    int seconds = 20;
    std::uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--seed N]\n", argv[0]);
            return 2;
        }
    }
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY); // lets the watchdog's gdb attach
    std::printf("plinth_stress: %d s, seed %llu, %d workers and a churn thread\n", seconds,
                static_cast<unsigned long long>(seed), c_workers);
    std::fflush(stdout);

    for (const tStage& stage : c_stages)
        BringUp(stage);
    // The subscriber reads the stage that fired and its neighbour: re-entry and two stages at once.
    const auto readBack = [](const boost::any& message) {
        const auto& msg = boost::any_cast<const stg::tSTAGEMSG&>(message);
        std::map<stg::EAxisType, Um> positions;
        stg::GetPosition(msg.stageID, positions, stg::eAllAxes);
        stg::GetPosition(msg.stageID == 7004 ? 7001 : msg.stageID + 1, stg::eAxisX, positions[stg::eAxisX]);
        ++g_events;
    };
    const utl::EventToken token = utl::SubscribeEvent(stg::GetStageEventID(), readBack);

    std::vector<tThreadState> states(c_workers + 1);
    std::thread watchdog(Watch, std::ref(states));
    std::vector<std::thread> threads;
    for (int i = 0; i < c_workers; ++i)
        threads.emplace_back([&, i] { CWorker(seed * 1000 + i, states[i]).Run(i == 0); });
    threads.emplace_back(Churn, seed * 1000 + c_workers, std::ref(states[c_workers]));

    std::this_thread::sleep_for(std::chrono::seconds(seconds)); // the run's length, not a wait for anything
    g_stop = true;
    for (auto& thread : threads)
        thread.join();
    watchdog.join();
    utl::UnsubscribeEvent(token);
    for (const tStage& stage : c_stages)
        Manager().UnregisterStage(Info(stage));

    long ops = 0;
    for (const auto& state : states)
        ops += state.ops;
    const long violations = stgtest::g_guardReport.violations;
    std::printf("plinth_stress: %ld operations, %ld events, %ld broken invariants\n", ops, g_events.load(), violations);
    return violations == 0 ? 0 : 1;
}
