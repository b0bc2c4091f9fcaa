#include "TestStageModule.h"

#include <memory>
#include <mutex>

namespace {

std::mutex g_mutex; // guards the two below
std::unique_ptr<stgtest::tTestStageConfig> g_config = std::make_unique<stgtest::tTestStageConfig>();
int g_created = 0;

} // namespace

extern "C" __attribute__((visibility("default"))) void ConfigureTestStage(const stgtest::tTestStageConfig* config)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_config = config ? std::make_unique<stgtest::tTestStageConfig>(*config) : nullptr;
}

extern "C" __attribute__((visibility("default"))) stg::CLowLevelStage* CreateStage(std::uint32_t stageID)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_config)
        return nullptr;
    try {
        auto* stage = new stgtest::CTestStage(stageID, *g_config);
        ++g_created;
        return stage;
    } catch (const std::exception& error) {
        stg::SetCreateStageFailure(error.what());
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

extern "C" __attribute__((visibility("default"))) int TestStagesCreated()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_created;
}
