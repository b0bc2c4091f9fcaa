#pragma once

#include <platform/Module.h>

#include "StageTestSupport.h"
#include "TestStageModule.h"

namespace stgtest {

// The test driver module, loaded once for the process (as an application loads its drivers).
plat::ModuleHandle TestStageModule();

// A stage of the test driver module under a fresh stage ID. The destructor leaves the stage
// manager and the configuration database as they were: unregistered, set unplugged.
class CModuleStage {
public:
    explicit CModuleStage(const tTestStageConfig& config = FullDriver({XAxis(1), YAxis(2)}));
    ~CModuleStage();
    CModuleStage(const CModuleStage&) = delete;
    CModuleStage& operator=(const CModuleStage&) = delete;

    // The configuration of the driver objects the factory makes from now on; null: none.
    static void Configure(const tTestStageConfig* config);
    // Driver objects the factory has made so far.
    static int Created();
    // Registers and activates; false when either fails.
    bool Bring();
    // The registered driver object. The module builds it from the same sources as the tests, so
    // the test's view of the class matches the object's.
    CTestStage& Driver() const;

    stg::tStageInfo info;
    std::uint32_t id;
};

} // namespace stgtest
