// Where the stage is: the flat API's X/Y read (precision mode off and on), the read of one axis by
// type, and underneath them the low-level read (stage lock and driver) and the raw read of the
// simulated controller (its clock and motion model), the floor of every position read.

#include <map>
#include <memory>

#include <plinth/CStageManager.h>
#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/driver/ResultCodes.h>

#include "BenchSupport.h"
#include "CAxisMotion.h"
#include "CSteadySimClock.h"

namespace {
constexpr bench::ESimProfile eSimFull = bench::ESimProfile::eFull;

void BM_GetPositionXY(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1.0);
    stg::EnablePrecision(id, state.range(0) != 0);
    utl::TUnitValue<geo::CdVec2> position;
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        if (stg::GetPositionXY(id, position) != stg::c_OK) {
            state.SkipWithError("GetPositionXY failed");
            break;
        }
        benchmark::DoNotOptimize(position);
    }
    allocs.Report(state);
    stg::EnablePrecision(id, false);
}
BENCHMARK(BM_GetPositionXY)->ArgName("precision")->Arg(0)->Arg(1);

// X/Y reads with each thread on a stage of its own: with two threads the throughput
// (items_per_second) should be about twice that of one, as different stages share no lock.
void BM_GetPositionXYOwnStage(benchmark::State& state)
{
    // Registered once, by whichever thread comes first; the others wait for the static.
    static const std::uint32_t ids[] = {bench::SimStage(eSimFull, 1.0), bench::SimStage(eSimFull, 2.0)};
    const std::uint32_t id = ids[state.thread_index() % 2];
    utl::TUnitValue<geo::CdVec2> position;
    for (auto _ : state) {
        if (stg::GetPositionXY(id, position) != stg::c_OK) {
            state.SkipWithError("GetPositionXY failed");
            break;
        }
        benchmark::DoNotOptimize(position);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPositionXYOwnStage)->Threads(1)->Threads(2)->UseRealTime();

// Floor of the two-thread reads: the flat API's look-up and hold of the stage alone, each thread
// on a stage of its own; it writes only that stage's count of calls in flight.
void BM_Floor_HoldOwnStage(benchmark::State& state)
{
    static const std::uint32_t ids[] = {bench::SimStage(eSimFull, 1.0), bench::SimStage(eSimFull, 2.0)};
    const std::uint32_t id = ids[state.thread_index() % 2];
    auto& manager = stg::CStageManager::StageManager();
    for (auto _ : state)
        benchmark::DoNotOptimize(manager.Acquire(id).get());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Floor_HoldOwnStage)->Threads(1)->Threads(2)->UseRealTime();

void BM_GetPositionByType(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(eSimFull, 1.0);
    utl::TUnitValue<double> position;
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        if (stg::GetPosition(id, stg::eAxisX, position) != stg::c_OK) {
            state.SkipWithError("GetPosition failed");
            break;
        }
        benchmark::DoNotOptimize(position);
    }
    allocs.Report(state);
}
BENCHMARK(BM_GetPositionByType);

// The low level: CLowLevelStage::GetPosition of X and Y takes the stage lock and calls the
// simulated driver's position read.
void BM_LowLevelGetPositionXY(benchmark::State& state)
{
    const auto stage = bench::NewSimDriver(1000);
    if (!stage || stage->Init() != stg::c_OK) {
        state.SkipWithError("Init failed");
        return;
    }
    stg::CLowLevelStage::TickMap positions{{1, 0}, {2, 0}};
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        stage->GetPosition(positions, stg::eGivenAxes);
        benchmark::DoNotOptimize(positions);
    }
    allocs.Report(state);
    stage->Exit();
}
BENCHMARK(BM_LowLevelGetPositionXY);

// Floor: what the simulated controller itself does for an X/Y read, one clock read and the
// position of two motion models at that time.
void BM_Floor_SimControllerReadXY(benchmark::State& state)
{
    simstage::CSteadySimClock clock;
    const simstage::CAxisMotion x(-500'000, 500'000, 1e6), y(-1'000'000, 1'000'000, 2e6);
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        const double nowS = clock.NowS();
        benchmark::DoNotOptimize(x.PositionAt(nowS));
        benchmark::DoNotOptimize(y.PositionAt(nowS));
    }
    allocs.Report(state);
}
BENCHMARK(BM_Floor_SimControllerReadXY);

} // namespace
