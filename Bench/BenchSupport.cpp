#include "BenchSupport.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <utility>

#include <cfg/GlobalPropSets.h>
#include <platform/Module.h>
#include <plinth/CStageManager.h>
#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/driver/CreateStage.h>
#include <utl/PropertyRegistry.h>

namespace {

std::atomic<std::uint64_t> g_allocations{0};

void* Allocate(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t align = static_cast<std::size_t>(alignment);
    if (void* block = std::aligned_alloc(align, (size + align - 1) / align * align))
        return block;
    throw std::bad_alloc();
}

} // namespace

// The replacement global allocation functions: every new of the process, the library's shared
// objects and the driver module included, is counted.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }

namespace bench {
namespace {

struct tRegistry {
    plat::CModule module{PLINTH_SIMSTAGE_MODULE};
    std::map<std::pair<int, double>, std::uint32_t> stages; // by profile and time scale
    std::uint32_t nextID = 1;
};

tRegistry& Registry()
{
    static tRegistry registry;
    return registry;
}

utl::TUnitValue<geo::CdVec2> Mm2(double x, double y) { return {geo::CdVec2(x, y), utl::c_mm}; }

} // namespace

void CMedian::Report()
{
    if (m_samples.empty())
        return;
    auto middle = m_samples.begin() + std::ptrdiff_t(m_samples.size() / 2);
    std::nth_element(m_samples.begin(), middle, m_samples.end());
    m_state.counters["median_us"] = *middle * 1e6;
}

std::unique_ptr<stg::CLowLevelStage> NewSimDriver(std::uint32_t stageID)
{
    const auto create =
        reinterpret_cast<stg::CreateStageFn>(plat::FindExport(Registry().module.Get(), stg::c_createStageExport));
    return std::unique_ptr<stg::CLowLevelStage>(create ? create(stageID) : nullptr);
}

std::uint64_t Allocations() noexcept { return g_allocations.load(std::memory_order_relaxed); }

std::uint32_t SimStage(ESimProfile profile, double timeScale)
{
    tRegistry& registry = Registry();
    const auto key = std::make_pair(int(profile), timeScale);
    if (auto it = registry.stages.find(key); it != registry.stages.end())
        return it->second;
    const std::uint32_t id = registry.nextID++;
    const stg::tStageInfo info{registry.module.Get(), id};
    auto& manager = stg::CStageManager::StageManager();
    if (!manager.RegisterStage(info) || !manager.ActivateStage(info))
        return 0;
    // The simulated stage's own settings, by the names it declares.
    stg::SetProperty(id, utl::FindProperty(L"SimProfile")->id, std::int32_t(profile));
    stg::SetProperty(id, utl::FindProperty(L"SimTimeScale")->id, timeScale);
    for (stg::EAxisType type : {stg::eAxisX, stg::eAxisY, stg::eAxisZ})
        stg::EnableAxis(id, type, true);
    stg::SetAxisLimitsXY(id, Mm2(-10.0, -10.0), Mm2(10.0, 10.0));
    stg::SetAxisLimits(id, stg::eAxisZ, utl::TUnitValue<double>(0.0, utl::c_mm),
                       utl::TUnitValue<double>(5.0, utl::c_mm));
    stg::EnablePrecision(id, false);
    stg::MoveToXY(id, Mm2(0.0, 0.0), true);
    registry.stages.emplace(key, id);
    return id;
}

void UnregisterStages()
{
    tRegistry& registry = Registry();
    for (const auto& entry : registry.stages)
        stg::CStageManager::StageManager().UnregisterStage({registry.module.Get(), entry.second});
    registry.stages.clear();
}

} // namespace bench

int main(int argc, char** argv)
{
    cfg::SetConfigPath(":memory:"); // no settings of earlier runs, none kept
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::UnregisterStages();
    return 0;
}
