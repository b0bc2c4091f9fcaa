#include <plinth/tSTAGEMSG.h>

#include <plinth/CStageManager.h>

namespace stg {

tSTAGEMSG::tSTAGEMSG(int msgID_, std::uint32_t stageID_, EAxisType type) noexcept
    : msgID(msgID_), stageID(stageID_), axis(-1)
{
    try {
        if (const CStageRef access = CStageManager::StageManager().Acquire(stageID))
            axis = access->GetAxisFromType(type);
    } catch (...) {
        axis = -1; // a record is built in the middle of other work: it must not throw
    }
}

EAxisType tSTAGEMSG::GetAxisType() const
{
    const CStageRef access = CStageManager::StageManager().Acquire(stageID);
    return access ? access->GetAxisType(axis) : eAxisNone;
}

} // namespace stg
