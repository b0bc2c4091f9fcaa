#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <plinth/CMediumLevelStage.h>
#include <plinth/CStageAccess.h>
#include <plinth/driver/CLowLevelStage.h>

namespace stg::detail {

// The layers of one activation of a stage, shared by the stage manager and the calls in flight
// (CStageRef). Whoever lets go last deletes them: the stage access object, then the medium level,
// then, unless the manager still holds it, the driver object.
struct tActiveStage {
    std::shared_ptr<CLowLevelStage> low;
    std::unique_ptr<CMediumLevelStage> medium;
    std::unique_ptr<CStageAccess> access;
    // One entry per hold, the holding thread's ID; guarded by `holdMutex`, which belongs to this
    // stage alone, so that holds of different stages never wait for each other.
    std::mutex holdMutex;
    std::condition_variable unheld; // a hold ended
    std::vector<std::thread::id> holders;
};

} // namespace stg::detail
