// Moves through the flat API: a started move on a driver that has one, a started move that the
// medium level emulates on a worker (the driver only has blocking moves), and a blocking 10 um
// move, measured as wall time minus the simulated travel time. Each next to its floor: the
// driver's own started move under the stage lock, a bare hand-over to a waiting thread, and a
// blocking move without travel.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/driver/ResultCodes.h>

#include "BenchSupport.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr bench::ESimProfile eSimFull = bench::ESimProfile::eFull;
constexpr bench::ESimProfile eSimBlockingOnly = bench::ESimProfile::eBlockingOnly;

utl::TUnitValue<geo::CdVec2> Um2(double x, double y) { return {geo::CdVec2(x, y), utl::c_mum}; }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_MoveToXYStarted(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1.0);
    double target = 10.0;
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        target = -target; // the stage turns round: every start plans a new motion
        if (stg::MoveToXY(id, Um2(target, target), false) != stg::c_OK) {
            state.SkipWithError("MoveToXY failed");
            break;
        }
    }
    allocs.Report(state);
    stg::WaitForStopXY(id, stg::c_waitForever);
}
BENCHMARK(BM_MoveToXYStarted);

// Floor: the simulated driver's started move called through the low level (stage lock, limits
// check of the low level, driver), targets in ticks.
void BM_Floor_LowLevelMoveToPos(benchmark::State& state)
{
    const auto stage = bench::NewSimDriver(1001);
    if (!stage || stage->Init() != stg::c_OK) {
        state.SkipWithError("Init failed");
        return;
    }
    std::int64_t target = 100;
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        target = -target;
        benchmark::DoNotOptimize(stage->MoveToPos({{1, target}, {2, 2 * target}}));
    }
    allocs.Report(state);
    stage->Exit();
}
BENCHMARK(BM_Floor_LowLevelMoveToPos);

// Only the start is timed (and its allocations counted, the worker's during the start included);
// the move is waited for outside, and then `idle_ms` more, so that the worker has gone to sleep
// as it has between real moves. The simulated time runs 1000 times as fast.
void BM_MoveToXYEmulated(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimBlockingOnly, 1000.0);
    double target = 10.0;
    std::uint64_t allocations = 0;
    bench::CMedian median(state);
    for (auto _ : state) {
        target = -target;
        const std::uint64_t before = bench::Allocations();
        const Clock::time_point start = Clock::now();
        const int rc = stg::MoveToXY(id, Um2(target, target), false);
        const Clock::time_point end = Clock::now();
        allocations += bench::Allocations() - before;
        state.SetIterationTime(Seconds(end - start));
        median.Add(Seconds(end - start));
        if (rc != stg::c_OK || stg::WaitForStopXY(id, stg::c_waitForever) != stg::c_OK ||
            stg::GetLastEmulatedMoveResult(id) != stg::c_OK) {
            state.SkipWithError("the emulated move failed");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
    }
    state.counters["allocs/call"] = double(allocations) / double(state.iterations());
    median.Report();
}
BENCHMARK(BM_MoveToXYEmulated)->UseManualTime()->ArgName("idle_ms")->Arg(0);
BENCHMARK(BM_MoveToXYEmulated)->UseManualTime()->ArgName("idle_ms")->Arg(10)->Iterations(300);

// Floor of the emulated start after an idle time: the same call on the driver's own started move
// (no worker), made 10 ms after the last move ended; what the starting thread's own work costs
// with the caches and predictors that 10 ms of other work left cold.
void BM_Floor_MoveToXYStartedAfterSleep(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1000.0);
    double target = 10.0;
    bench::CMedian median(state);
    for (auto _ : state) {
        target = -target;
        const Clock::time_point start = Clock::now();
        const int rc = stg::MoveToXY(id, Um2(target, target), false);
        const Clock::time_point end = Clock::now();
        state.SetIterationTime(Seconds(end - start));
        median.Add(Seconds(end - start));
        if (rc != stg::c_OK || stg::WaitForStopXY(id, stg::c_waitForever) != stg::c_OK) {
            state.SkipWithError("the started move failed");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    median.Report();
}
BENCHMARK(BM_Floor_MoveToXYStartedAfterSleep)->UseManualTime()->Iterations(300);

// What the emulated start after an idle time is made of, each part timed alone 10 ms after the
// last one: `part` 0, an X/Y read through the flat API (the library's own path with cold caches,
// no move, no other thread); `part` 1, the starter's side of a hand-over to a thread asleep on a
// condition variable (lock, store, unlock, notify: the futex wake), its acknowledgement waited
// for untimed.
void BM_Floor_StartPartsAfterSleep(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1000.0);
    std::mutex mutex;
    std::condition_variable posted, taken;
    std::uint64_t jobs = 0, done = 0;
    bool quit = false;
    std::thread sleeper([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!quit) {
            posted.wait(lock, [&] { return quit || jobs != done; });
            done = jobs;
            taken.notify_one();
        }
    });
    utl::TUnitValue<geo::CdVec2> position;
    bench::CMedian median(state);
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const Clock::time_point start = Clock::now();
        if (state.range(0) == 0) {
            benchmark::DoNotOptimize(stg::GetPositionXY(id, position));
        } else {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++jobs;
            }
            posted.notify_one();
        }
        const Clock::time_point end = Clock::now();
        state.SetIterationTime(Seconds(end - start));
        median.Add(Seconds(end - start));
        std::unique_lock<std::mutex> lock(mutex);
        taken.wait(lock, [&] { return done == jobs; });
    }
    median.Report();
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    posted.notify_one();
    sleeper.join();
}
BENCHMARK(BM_Floor_StartPartsAfterSleep)->UseManualTime()->Iterations(300)->ArgName("part")->Arg(0)->Arg(1);

// Floor: a job handed to a thread that waits on a condition variable, and its acknowledgement
// waited for, as a persistent worker would do it; with `awake` 1 both threads watch the other's
// counter spinning instead, the floor of a hand-over to a worker that is awake.
void BM_Floor_ThreadHandoff(benchmark::State& state)
{
    const bool awake = state.range(0) != 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<std::uint64_t> posted{0}, taken{0};
    std::atomic<bool> quit{false};
    std::thread worker([&] {
        if (awake) {
            while (!quit.load())
                if (taken.load() != posted.load())
                    taken.store(posted.load());
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return quit || posted != taken; });
            if (quit)
                return;
            taken = posted.load();
            changed.notify_all();
        }
    });
    bench::CMedian median(state);
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (awake) {
            const std::uint64_t job = posted.fetch_add(1) + 1;
            while (taken.load() != job)
                continue;
        } else {
            std::unique_lock<std::mutex> lock(mutex);
            ++posted;
            changed.notify_all();
            changed.wait(lock, [&] { return taken == posted; });
        }
        state.SetIterationTime(Seconds(Clock::now() - start));
        median.Add(Seconds(Clock::now() - start));
    }
    median.Report();
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    changed.notify_all();
    worker.join();
}
BENCHMARK(BM_Floor_ThreadHandoff)->UseManualTime()->ArgName("awake")->Arg(0)->Arg(1);

// The travel time of X and Y moving by `um` at their speeds, in real seconds at time scale 1: the
// longer of the two trapezoids (or triangles) with the simulated stage's ramps of 100 mm/s^2.
double TravelS(std::uint32_t id, double um)
{
    constexpr double accelUmPerS2 = 100'000.0;
    double longest = 0.0;
    for (stg::EAxisType type : {stg::eAxisX, stg::eAxisY}) {
        utl::TUnitValue<double> speed;
        if (stg::GetAxisSpeed(id, type, speed) != stg::c_OK)
            return 0.0;
        const double v = speed.In(utl::c_mum).GetValue();
        const double travelS =
            um >= v * v / accelUmPerS2 ? um / v + v / accelUmPerS2 : 2.0 * std::sqrt(um / accelUmPerS2);
        longest = std::max(longest, travelS);
    }
    return longest;
}

// Wall time of a blocking move of X and Y by 10 um minus its travel time in real time: 20 ms at
// time scale 1; 200 us at time scale 100, short enough for the waiting thread never to sleep.
void BM_BlockingMove10um(benchmark::State& state)
{
    const double timeScale = double(state.range(0));
    const std::uint32_t id = bench::SimStage(eSimFull, timeScale);
    const double travelS = TravelS(id, 10.0) / timeScale;
    stg::MoveToXY(id, Um2(0.0, 0.0), true);
    double target = 0.0;
    bench::CMedian median(state);
    for (auto _ : state) {
        target = target == 0.0 ? 10.0 : 0.0;
        const Clock::time_point start = Clock::now();
        const int rc = stg::MoveToXY(id, Um2(target, target), true);
        const double overS = Seconds(Clock::now() - start) - travelS;
        state.SetIterationTime(overS);
        median.Add(overS);
        if (rc != stg::c_OK) {
            state.SkipWithError("MoveToXY failed");
            break;
        }
    }
    state.counters["travel_ms"] = travelS * 1e3;
    median.Report();
}
BENCHMARK(BM_BlockingMove10um)->UseManualTime()->Iterations(40)->ArgName("timescale")->Arg(1)->Arg(100);

// Floor: the same blocking move to where the stage stands, which travels nowhere.
void BM_Floor_BlockingMoveNoTravel(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1.0);
    stg::MoveToXY(id, Um2(0.0, 0.0), true);
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        if (stg::MoveToXY(id, Um2(0.0, 0.0), true) != stg::c_OK) {
            state.SkipWithError("MoveToXY failed");
            break;
        }
    }
    allocs.Report(state);
}
BENCHMARK(BM_Floor_BlockingMoveNoTravel);

// Floor of the 10 um move at time scale 1: the move that travels nowhere, made right after the
// thread has slept as long as that move's travel (20 ms, not timed). What it costs beyond the
// same call made back to back is the price of caches and predictors that the sleep left cold.
void BM_Floor_BlockingMoveNoTravelAfterSleep(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1.0);
    stg::MoveToXY(id, Um2(0.0, 0.0), true);
    const double sleepS = TravelS(id, 10.0);
    bench::CMedian median(state);
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::duration<double>(sleepS));
        const Clock::time_point start = Clock::now();
        const int rc = stg::MoveToXY(id, Um2(0.0, 0.0), true);
        state.SetIterationTime(Seconds(Clock::now() - start));
        median.Add(Seconds(Clock::now() - start));
        if (rc != stg::c_OK) {
            state.SkipWithError("MoveToXY failed");
            break;
        }
    }
    median.Report();
}
BENCHMARK(BM_Floor_BlockingMoveNoTravelAfterSleep)->UseManualTime()->Iterations(40);

} // namespace
