#include <plinth/ZEscape.h>

#include <cmath>
#include <map>

#include <plinth/CStageManager.h>
#include <plinth/StageAPI.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/ResultCodes.h>

namespace stg {
namespace {

using Position = utl::TUnitValue<double>;
using PosMap = CStageAccess::TypePosMap;

const Position c_maxEscapeDistance(3000.0, utl::c_mum);
const Position c_returnClearance(10.0, utl::c_mum); // the return stays this far below the maximum
const Position c_stepShortening(10.0, utl::c_mum);
const Position c_defaultStep(-9.9, utl::c_mum); // negative: the walk is a single move

struct tEscapeRecord {
    std::uint32_t count = 0; // escapes not yet matched by a return; 0: not escaped
    Position distance;       // how far the outermost escape lowered Z
};

// Per stage. No lock by design: the escape functions of one stage are not called concurrently,
// and records are added and removed only by them.
std::map<std::uint32_t, tEscapeRecord> s_escapeTable;

// A one-entry query map for Z.
PosMap ZOnly() { return {{eAxisZ, Position(0.0, utl::c_mum)}}; }

template <class T>
int ReadZProperty(const CStageAccess& stage, int propID, T& value)
{
    return ReadAxisProperty(stage.GetMediumLevel().GetLowLevel(), stage.GetAxisFromType(eAxisZ), propID, value);
}

// The checks before anything moves; counts nested calls. c_OK: this call must move.
int CheckEscape(std::uint32_t stageID, CStageAccess& stage, bool escape)
{
    if (!IsAxisEnabled(stageID, eAxisZ))
        return c_AxisDisabled;
    bool allowed = false;
    if (ReadZProperty(stage, c_propAllowEscape, allowed) != c_OK || !allowed)
        return c_EscapeNotPermitted;
    const EAxisType z = eAxisZ;
    if (!stage.AreLimitsDefined(&z))
        return c_LimitsNotDefined;
    bool settingLimits = true;
    if (ReadZProperty(stage, c_propModeSetLimit, settingLimits) != c_OK || settingLimits)
        return c_LimitsNotDefined;

    auto record = s_escapeTable.find(stageID);
    const bool escaped = record != s_escapeTable.end() && record->second.count > 0;
    if (escape) {
        if (!escaped)
            return c_OK;
        ++record->second.count;
        return c_EscapeCounted;
    }
    if (!escaped)
        return c_NoEscapeToReturn;
    return --record->second.count > 0 ? c_EscapeCounted : c_OK;
}

// The blocking moves from `from` to `target` (Z entries), down when escaping, up when returning.
int Walk(CStageAccess& stage, const PosMap& from, const Position& target, bool escape)
{
    Position step = c_defaultStep;
    std::int64_t stepTicks = 0;
    if (ReadZProperty(stage, c_propEscapeStep, stepTicks) == c_OK) {
        PosMap calibration = ZOnly();
        const int rc = stage.GetCalibration(calibration, eGivenAxes);
        if (rc != c_OK)
            return rc;
        const Position& perTick = calibration[eAxisZ];
        step = Position(static_cast<double>(stepTicks) * perTick.GetValue(), perTick.GetUnit());
    }
    const Position move = step - c_stepShortening;

    // A move that does not shorten the distance, or so short a one that the walk would not end
    // in reasonable time, becomes a single move to the target.
    const Position distance = escape ? from.at(eAxisZ) - target : target - from.at(eAxisZ);
    const double moveUm = move.In(utl::c_mum).GetValue();
    const bool direct = !(moveUm > 0.0) || !(std::abs(distance.In(utl::c_mum).GetValue()) / moveUm < c_maxEscapeSteps);

    PosMap position = from;
    for (bool last = false; !last;) {
        Position& z = position[eAxisZ];
        z = escape ? z - move : z + move;
        const bool passed = escape ? z < target : target < z;
        if (direct || passed) {
            z = target;
            last = true;
        }
        const int rc = stage.SetPosition(position);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int Escape(std::uint32_t stageID, CStageAccess& stage)
{
    PosMap current = ZOnly();
    int rc = stage.GetPosition(current, eGivenAxes);
    if (rc != c_OK)
        return rc;
    const Position& z = current[eAxisZ];

    Position distance(0.0, utl::c_mum);
    PosMap minimum = ZOnly();
    if (stage.GetMinima(minimum, eGivenAxes) == c_OK) {
        const Position room = z - minimum[eAxisZ];
        distance = c_maxEscapeDistance < room ? c_maxEscapeDistance : room;
    }
    rc = Walk(stage, current, z - distance, true);
    if (rc != c_OK)
        return rc;
    s_escapeTable[stageID] = tEscapeRecord{1, distance};
    return c_OK;
}

int Return(std::uint32_t stageID, CStageAccess& stage)
{
    tEscapeRecord& record = s_escapeTable[stageID];
    PosMap current = ZOnly();
    PosMap maximum = ZOnly();
    int rc = stage.GetPosition(current, eGivenAxes);
    if (rc == c_OK)
        rc = stage.GetMaxima(maximum, eGivenAxes);
    if (rc == c_OK) {
        Position target = current[eAxisZ] + record.distance;
        const Position highest = maximum[eAxisZ] - c_returnClearance;
        if (highest < target)
            target = highest;
        rc = Walk(stage, current, target, false);
    }
    if (rc != c_OK)
        ++record.count; // still escaped
    return rc;
}

} // namespace

int EscapeZ(std::uint32_t stageID, bool escape)
{
    const CStageRef stage = CStageManager::StageManager().Acquire(stageID);
    if (!stage)
        return c_NoSuchStage;
    const int rc = CheckEscape(stageID, *stage, escape);
    if (rc == c_EscapeNotPermitted)
        return c_OK; // a stage that does not allow escape has nothing to do
    if (rc != c_OK)
        return rc;
    return escape ? Escape(stageID, *stage) : Return(stageID, *stage);
}

bool IsEscapedZ(std::uint32_t stageID)
{
    if (!CStageManager::StageManager().IsActiveStage(stageID))
        return false;
    auto record = s_escapeTable.find(stageID);
    return record != s_escapeTable.end() && record->second.count != 0;
}

void ResetEscapeCounter(std::uint32_t stageID) { s_escapeTable.erase(stageID); }

bool IsEscapeEnabled(std::uint32_t stageID)
{
    const CStageRef stage = CStageManager::StageManager().Acquire(stageID);
    bool allowed = false;
    return stage && ReadZProperty(*stage, c_propAllowEscape, allowed) == c_OK && allowed;
}

} // namespace stg
