#pragma once

#include <cstdint>
#include <map>

#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

namespace stg {

// Bits of an axis mask, naming the X, Y and Z axes by their type.
constexpr int c_axisMaskX = 1;
constexpr int c_axisMaskY = 2;
constexpr int c_axisMaskZ = 4;

// Remembers where the X, Y and Z axes of a stage stand and moves them back later: on Restore, or
// when the object ends while it is still valid. Works through the flat API by stage ID only.
class CPositionStorage {
public:
    // The mask is an OR of c_axisMaskX/Y/Z (other bits are ignored). When the positions cannot be read
    // (no active stage, a failing read, an empty mask) the object is invalid and moves nothing.
    CPositionStorage(std::uint32_t stageID, int axisMask);
    // Copies are independent: each moves the stage back when restored or destroyed.
    CPositionStorage(const CPositionStorage& other) = default;
    CPositionStorage& operator=(const CPositionStorage& other) = default;
    // A valid storage moves the stage back (blocking) and ignores the answer; nothing, an
    // exception of a driver included, leaves the destructor.
    ~CPositionStorage();

    bool IsValid() const { return !m_positions.empty(); }
    // Moves the stage back with a blocking move and answers the move's code (c_NoSuchStage when
    // the stage is gone). The object is invalid afterwards, whatever the answer.
    int Restore();

private:
    std::map<EAxisType, utl::TUnitValue<double>> m_positions;
    std::uint32_t m_stageID;
};

} // namespace stg
