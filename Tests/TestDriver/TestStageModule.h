#pragma once

#include "CTestStage.h"

namespace stgtest {

// The test driver as a real driver module: its "CreateStage" builds a CTestStage with the
// configuration last given through the module's own export "ConfigureTestStage" (a null
// configuration makes the factory answer null).
inline constexpr const char* c_configureExport = "ConfigureTestStage";
using ConfigureTestStageFn = void (*)(const tTestStageConfig* config);
// "TestStagesCreated": how many driver objects the factory has made so far.
inline constexpr const char* c_createdExport = "TestStagesCreated";
using TestStagesCreatedFn = int (*)();

} // namespace stgtest
