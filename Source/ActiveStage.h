#pragma once

#include <memory>
#include <thread>
#include <vector>

#include <plinth/CLowLevelStage.h>
#include <plinth/CMediumLevelStage.h>
#include <plinth/CStageAccess.h>

namespace stg::detail {

// The layers of one activation of a stage, shared by the stage manager and the calls in flight
// (CStageRef). Whoever lets go last deletes them: the stage access object, then the medium level,
// then, unless the manager still holds it, the driver object.
struct tActiveStage {
    std::shared_ptr<CLowLevelStage> low;
    std::unique_ptr<CMediumLevelStage> medium;
    std::unique_ptr<CStageAccess> access;
    // One entry per hold, the holding thread's ID; guarded by the stage manager's map lock.
    std::vector<std::thread::id> holders;
};

} // namespace stg::detail
