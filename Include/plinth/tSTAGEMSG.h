#pragma once

#include <cstdint>

#include <plinth/StageEvents.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

namespace stg {

// Kinds of stage event (tSTAGEMSG::msgID).
constexpr int c_msgLimitsChanged = 10;      // a limit of the axis was written, or both forgotten
constexpr int c_msgCalibrationChanged = 15; // the axis's "Calibration" was written
constexpr int c_msgUserControlOn = 50;      // axis -1
constexpr int c_msgUserControlOff = 51;     // axis -1
constexpr int c_msgInitRangesBegin = 60;    // a range initialisation of the axis begins
constexpr int c_msgInitRangesEnd = 61;      // ... has ended, successfully or not
// Move events, raised for every driver by the medium level (CMoveWatcher) on a thread of the
// library's own while a move, a blocking move or a free run is under way; never under a lock.
constexpr int c_msgMoveStarted = 70;    // axis -1; a move of the stage was accepted by the driver
constexpr int c_msgMoveFinished = 71;   // axis -1; `result`: c_OK reached, c_Stopped, or the failure
constexpr int c_msgPositionSample = 72; // the axis stood at `position` (at most 20 per second per
                                        // stage, and one per axis when the move ends)

// A stage event: fired by the low-level stage through utl::FireEvent under GetStageEventID(),
// carried by value in a boost::any. Subscribers take it out with
// boost::any_cast<stg::tSTAGEMSG>(message). Delivered on the thread that called the operation,
// before it returns, once that thread holds no stage or precision lock (CEventDeferral).
struct tSTAGEMSG {
    int msgID;
    std::uint32_t stageID;
    int axis;                           // the axis concerned, -1 for the whole stage
    int result = c_OK;                  // c_msgMoveFinished: how the move ended
    utl::TUnitValue<double> position{}; // c_msgPositionSample: the axis's position in physical units

    // The defaults make an empty message: kind -1, stage 0xFFFF0000, axis -1.
    explicit tSTAGEMSG(int msgID_ = -1, std::uint32_t stageID_ = 0xFFFF0000u, int axis_ = -1) noexcept
        : msgID(msgID_), stageID(stageID_), axis(axis_)
    {
    }
    // The two members below are the only part of a stage event that looks the stage up in the
    // stage registry (CStageManager): they work only for an active stage and so suit
    // applications, not drivers (the library itself fires with axis numbers and never calls them).

    // For clients that know an axis by its type: the lowest-numbered axis of `type` on the stage,
    // -1 when the stage is not active or has no axis of the type. An exception of the driver
    // while the axis is looked up leaves axis -1.
    tSTAGEMSG(int msgID_, std::uint32_t stageID_, EAxisType type) noexcept;

    // The type of the message's axis on its stage, read through the registry; eAxisNone when the
    // stage is not active.
    EAxisType GetAxisType() const;
};

} // namespace stg
