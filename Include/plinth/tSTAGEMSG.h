#pragma once

#include <cstdint>

namespace stg {

// Kinds of stage event (tSTAGEMSG::msgID).
constexpr int c_msgLimitsChanged = 10;      // a limit of the axis was written, or both forgotten
constexpr int c_msgCalibrationChanged = 15; // the axis's "Calibration" was written
constexpr int c_msgUserControlOn = 50;      // axis -1
constexpr int c_msgUserControlOff = 51;     // axis -1
constexpr int c_msgInitRangesBegin = 60;    // a range initialisation of the axis begins
constexpr int c_msgInitRangesEnd = 61;      // ... has ended, successfully or not

// A stage event: fired by the low-level stage through utl::FireEvent under GetStageEventID(),
// carried by value in a boost::any. Subscribers take it out with
// boost::any_cast<stg::tSTAGEMSG>(message).
struct tSTAGEMSG {
    int msgID;
    std::uint32_t stageID;
    int axis; // the axis concerned, -1 for the whole stage

    // The defaults make an empty message: kind -1, stage 0xFFFF0000, axis -1.
    explicit tSTAGEMSG(int msgID_ = -1, std::uint32_t stageID_ = 0xFFFF0000u, int axis_ = -1) noexcept
        : msgID(msgID_), stageID(stageID_), axis(axis_)
    {
    }
};

// The one event ID under which every stage fires its events; the same for the life of the
// library in the process.
unsigned int GetStageEventID();

} // namespace stg
