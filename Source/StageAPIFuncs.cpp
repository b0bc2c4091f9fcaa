#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>

#include <app/CDbgErrInfo.h>
#include <app/CError.h>
#include <app/LastError.h>
#include <plinth/CStageManager.h>
#include <plinth/PropertyAccess.h>
#include <plinth/PropertyIDs.h>
#include <plinth/ResultCodes.h>

#include "SettingValues.h"

namespace stg {
namespace {

// Every function holds its stage for the length of the call: a stage retired meanwhile by
// another thread stays alive until the call returns.
CStageRef Stage(std::uint32_t stageID) { return CStageManager::StageManager().Acquire(stageID); }

// The frame of a pass-through function: the missing-stage answer, or the stage's answer.
template <class Answer, class Call>
Answer WithStage(std::uint32_t stageID, Answer missing, Call&& call)
{
    const CStageRef stage = Stage(stageID);
    return stage ? call(*stage) : missing;
}

// Properties that hold the stage's structure: the list of the axes' property sets, and the number
// and type by which an axis is found in it and by the library. Written through the typed
// property functions they would cut the axes off their stored settings; the driver sets them.
bool IsStructural(int propID) noexcept
{
    return propID == c_propAxes || propID == c_propAxisNo || propID == c_propAxisType;
}

// The axis a typed-property call addresses: a number as given, a type through the stage.
int AxisOf(const CStageAccess&, int axis) { return axis; }
int AxisOf(const CStageAccess& stage, EAxisType type) { return stage.GetAxisFromType(type); }

template <class T>
int GetStageProperty(std::uint32_t stageID, int propID, T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    return ReadStageProperty(stage->GetMediumLevel().GetLowLevel(), propID, value);
}

template <class T>
int SetStageProperty(std::uint32_t stageID, int propID, const T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID) || IsStructural(propID))
        return c_PropertyNotAccessible;
    // The stage-level vessel gives no answer, so a number it must not take is refused here.
    if (!detail::IsValidSetting(propID, detail::Pack(value)))
        return c_InvalidValue;
    WriteStageProperty(stage->GetMediumLevel().GetLowLevel(), propID, value);
    return c_OK;
}

template <class Key, class T>
int GetAxisProperty(std::uint32_t stageID, Key key, int propID, T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    return ReadAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), propID, value);
}

template <class Key, class T>
int SetAxisProperty(std::uint32_t stageID, Key key, int propID, const T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID) || IsStructural(propID))
        return c_PropertyNotAccessible;
    return WriteAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), propID, value);
}

template <class Key>
bool IsEnabled(std::uint32_t stageID, Key key)
{
    const CStageRef stage = Stage(stageID);
    bool enabled = false;
    return stage &&
           ReadAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), c_propAxisEnabled, enabled) ==
               c_OK &&
           enabled;
}

template <class Key>
int Enable(std::uint32_t stageID, Key key, bool enable)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    return WriteAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), c_propAxisEnabled, enable);
}

using Position = utl::TUnitValue<double>;
template <class K>
using PositionsOf = std::map<K, Position>;
template <class K>
using SpeedsOf = std::map<K, double>;

// What a query map is seeded with: only its keys matter.
const Position c_emptyEntry(0.0, utl::c_mum);

// A single-axis query: {key: seed} through `query`, the entry copied out only on c_OK.
template <class K, class V, class Query>
int QueryOne(K key, V& out, const V& seed, Query&& query)
{
    std::map<K, V> map{{key, seed}};
    const int rc = query(map);
    auto it = map.find(key);
    if (rc == c_OK && it != map.end())
        out = it->second;
    return rc;
}

// The component of each axis type in a coordinate vector.
template <class V>
struct tComponents;
template <>
struct tComponents<geo::CdVec2> {
    static constexpr std::pair<EAxisType, double geo::CdVec2::*> c_axes[] = {{eAxisX, &geo::CdVec2::x},
                                                                             {eAxisY, &geo::CdVec2::y}};
};
template <>
struct tComponents<geo::CdVec3> {
    static constexpr std::pair<EAxisType, double geo::CdVec3::*> c_axes[] = {
        {eAxisX, &geo::CdVec3::x}, {eAxisY, &geo::CdVec3::y}, {eAxisZ, &geo::CdVec3::z}};
};

template <class V>
PositionsByType VecToPosByType(const utl::TUnitValue<V>& vec)
{
    PositionsByType map;
    for (const auto& [type, member] : tComponents<V>::c_axes)
        map[type] = Position(vec.GetValue().*member, vec.GetUnit());
    return map;
}

template <class V>
utl::TUnitValue<V> PosByTypeToVec(const PositionsByType& positions)
{
    const auto entry = [&](EAxisType type) {
        auto it = positions.find(type);
        return it == positions.end() ? c_emptyEntry : it->second;
    };
    const utl::CUnit unit = entry(eAxisX).GetUnit();
    V vec;
    for (const auto& [type, member] : tComponents<V>::c_axes) {
        const Position value = entry(type);
        vec.*member = type == eAxisX ? value.GetValue() : utl::Convert(value.GetValue(), value.GetUnit(), unit);
    }
    return utl::TUnitValue<V>(vec, unit);
}

template <class V>
utl::TUnitValue<V> PosToVec(std::uint32_t stageID, const PositionsOf<int>& positions)
{
    PositionsByType byType;
    for (const auto& [axis, position] : positions)
        byType[GetAxisType(stageID, axis)] = position; // a later axis of the same type wins
    return PosByTypeToVec<V>(byType);
}

template <class V>
std::vector<EAxisType> TypesOf()
{
    std::vector<EAxisType> types;
    for (const auto& entry : tComponents<V>::c_axes)
        types.push_back(entry.first);
    return types;
}

template <class V>
PositionsByType EmptyEntries()
{
    PositionsByType map;
    for (const auto& entry : tComponents<V>::c_axes)
        map[entry.first] = c_emptyEntry;
    return map;
}

template <class V>
SpeedsOf<EAxisType> SpeedsFromVec(const V& speeds)
{
    SpeedsOf<EAxisType> map;
    for (const auto& [type, member] : tComponents<V>::c_axes)
        map[type] = speeds.*member;
    return map;
}

template <class V>
int MoveToVec(std::uint32_t stageID, const utl::TUnitValue<V>& position, bool wait)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        const PositionsByType targets = VecToPosByType(position);
        return wait ? s.SetPosition(targets) : s.MoveToPos(targets);
    });
}

template <class V>
int GetPositionVec(std::uint32_t stageID, utl::TUnitValue<V>& position)
{
    PositionsByType map = EmptyEntries<V>();
    const int rc = GetPosition(stageID, map, eGivenAxes);
    if (rc == c_OK)
        position = PosByTypeToVec<V>(map);
    return rc;
}

// Limits are written per axis as a pair, the minimum then the maximum, under one hold of the stage
// lock: both are checked before anything is written, so a refused pair changes nothing. Both finite, and the minimum
// not above the maximum.
int CheckLimitPair(const Position& minimum, const Position& maximum)
{
    if (!detail::IsFinite(minimum) || !detail::IsFinite(maximum))
        return c_InvalidValue;
    const double maximumInMinimumUnit = utl::Convert(maximum.GetValue(), maximum.GetUnit(), minimum.GetUnit());
    return maximumInMinimumUnit < minimum.GetValue() ? c_InvalidValue : c_OK;
}

template <class V>
int SetAxisLimitsVec(std::uint32_t stageID, const utl::TUnitValue<V>& minimum, const utl::TUnitValue<V>& maximum)
{
    const PositionsByType maxima = VecToPosByType(maximum);
    for (const auto& [type, lower] : VecToPosByType(minimum)) {
        const int checked = CheckLimitPair(lower, maxima.at(type));
        if (checked != c_OK)
            return checked;
    }
    return WithStage(stageID, c_NoSuchStage,
                     [&](CStageAccess& s) { return s.SetLimitPairs(VecToPosByType(minimum), maxima); });
}

template <class V>
int GetAxisLimitsVec(std::uint32_t stageID, utl::TUnitValue<V>& minimum, utl::TUnitValue<V>& maximum)
{
    PositionsByType minima = EmptyEntries<V>();
    PositionsByType maxima = EmptyEntries<V>();
    int rc = GetMinima(stageID, minima, eGivenAxes);
    if (rc == c_OK)
        rc = GetMaxima(stageID, maxima, eGivenAxes);
    if (rc == c_OK) {
        minimum = PosByTypeToVec<V>(minima);
        maximum = PosByTypeToVec<V>(maxima);
    }
    return rc;
}

template <class V>
int GetCalibrationVec(std::uint32_t stageID, utl::TUnitValue<V>& calibration)
{
    PositionsByType map = EmptyEntries<V>();
    const int rc = GetCalibration(stageID, map, eGivenAxes);
    if (rc == c_OK)
        calibration = PosByTypeToVec<V>(map);
    return rc;
}

template <class V>
int GetSpeedVec(std::uint32_t stageID, V& speeds)
{
    SpeedsOf<EAxisType> map = SpeedsFromVec(V{});
    const int rc = GetSpeeds(stageID, map, eGivenAxes);
    if (rc == c_OK)
        for (const auto& [type, member] : tComponents<V>::c_axes)
            speeds.*member = map[type];
    return rc;
}

// Where CheckError says the error was recorded.
constexpr const char* c_checkErrorFunction = "stg::CheckError";
constexpr const char* c_checkErrorFile = ".\\Source\\StageAPIFuncs";
constexpr int c_checkErrorLine = 869;

} // namespace

bool CheckError(int code)
{
    if (code == c_OK)
        return true;
    const app::CDbgErrInfo info(c_checkErrorFunction, c_checkErrorFile, c_checkErrorLine);
    app::SetLastError(app::CError(info, app::eErrGroupStage, code), nullptr);
    return false;
}

bool CheckConnection(std::uint32_t stageID)
{
    return WithStage(stageID, false, [](CStageAccess& s) { return s.CheckConnection(); });
}

int GetAxisCount(std::uint32_t stageID)
{
    return WithStage(stageID, 0, [](CStageAccess& s) { return s.GetAxisCount(); });
}

EAxisType GetAxisType(std::uint32_t stageID, const int& axis)
{
    return WithStage(stageID, eAxisNone, [&](CStageAccess& s) { return s.GetAxisType(axis); });
}

int GetAxisFromType(std::uint32_t stageID, const EAxisType& type)
{
    return WithStage(stageID, -1, [&](CStageAccess& s) { return s.GetAxisFromType(type); });
}

int GetEnabledAxes(std::uint32_t stageID, std::vector<int>& axes)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetEnabledAxes(axes); });
}

int GetEnabledAxes(std::uint32_t stageID, std::vector<EAxisType>& types)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetEnabledAxes(types); });
}

bool AreLimitsDefined(std::uint32_t stageID)
{
    return WithStage(stageID, false,
                     [](CStageAccess& s) { return s.AreLimitsDefined(static_cast<const int*>(nullptr)); });
}

int EnablePrecision(std::uint32_t stageID, bool enable)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        s.EnablePrecision(enable);
        return c_OK;
    });
}

bool IsPrecisionEnabled(std::uint32_t stageID)
{
    return WithStage(stageID, false, [](CStageAccess& s) { return s.IsPrecisionEnabled(); });
}

int EnableUserControl(std::uint32_t stageID, bool enable)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.EnableUserControl(enable); });
}

bool IsUserControlEnabled(std::uint32_t stageID)
{
    return WithStage(stageID, false, [](CStageAccess& s) { return s.IsUserControlEnabled(); });
}

int StopMoving(std::uint32_t stageID)
{
    return WithStage(stageID, c_NoSuchStage, [](CStageAccess& s) { return s.StopMoving(); });
}

int GetLastEmulatedMoveResult(std::uint32_t stageID)
{
    return WithStage(stageID, c_NoSuchStage, [](const CStageAccess& s) { return s.GetLastEmulatedMoveResult(); });
}

std::vector<int> GetAxisList(std::uint32_t stageID)
{
    return WithStage(stageID, std::vector<int>(), [](CStageAccess& s) { return s.GetAxisList(); });
}

std::vector<EAxisType> GetAxisTypeList(std::uint32_t stageID)
{
    return WithStage(stageID, std::vector<EAxisType>(), [](CStageAccess& s) { return s.GetAxisTypeList(); });
}

// The exported typed-property functions: one family per value type, each a thin call of the
// templates above.
#define PLINTH_DEFINE_TYPED_PROPERTIES(T)                                                            \
    int GetProperty(std::uint32_t stageID, const int& propID, T& value)                              \
    {                                                                                                \
        return GetStageProperty(stageID, propID, value);                                             \
    }                                                                                                \
    int SetProperty(std::uint32_t stageID, const int& propID, const T& value)                        \
    {                                                                                                \
        return SetStageProperty(stageID, propID, value);                                             \
    }                                                                                                \
    int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, T& value)             \
    {                                                                                                \
        return GetAxisProperty(stageID, axis, propID, value);                                        \
    }                                                                                                \
    int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const T& value)       \
    {                                                                                                \
        return SetAxisProperty(stageID, axis, propID, value);                                        \
    }                                                                                                \
    int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, T& value)       \
    {                                                                                                \
        return GetAxisProperty(stageID, type, propID, value);                                        \
    }                                                                                                \
    int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const T& value) \
    {                                                                                                \
        return SetAxisProperty(stageID, type, propID, value);                                        \
    }

PLINTH_DEFINE_TYPED_PROPERTIES(int)
PLINTH_DEFINE_TYPED_PROPERTIES(double)
PLINTH_DEFINE_TYPED_PROPERTIES(std::wstring)
PLINTH_DEFINE_TYPED_PROPERTIES(bool)
PLINTH_DEFINE_TYPED_PROPERTIES(std::int64_t)
PLINTH_DEFINE_TYPED_PROPERTIES(utl::TUnitValue<double>)
#undef PLINTH_DEFINE_TYPED_PROPERTIES

// Positions, moves, limits, calibration and speeds by axis number and by axis type: both key
// forms come from one definition each, as do the XY and XYZ forms below.
#define PLINTH_DEFINE_AXIS_FUNCTIONS(K)                                                                            \
    int GetPosition(std::uint32_t stageID, PositionsOf<K>& positions, const ESelection& selection)                 \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage,                                                                   \
                         [&](CStageAccess& s) { return s.GetPosition(positions, selection); });                    \
    }                                                                                                              \
    int MoveTo(std::uint32_t stageID, const PositionsOf<K>& targets, bool wait)                                    \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage,                                                                   \
                         [&](CStageAccess& s) { return wait ? s.SetPosition(targets) : s.MoveToPos(targets); });   \
    }                                                                                                              \
    int MoveToPos(std::uint32_t stageID, const PositionsOf<K>& targets)                                            \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.MoveToPos(targets); });           \
    }                                                                                                              \
    int SetPosition(std::uint32_t stageID, const PositionsOf<K>& targets)                                          \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetPosition(targets); });         \
    }                                                                                                              \
    int MoveFree(std::uint32_t stageID, const SpeedsOf<K>& speeds)                                                 \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.MoveFree(speeds); });             \
    }                                                                                                              \
    bool IsMoving(std::uint32_t stageID, const std::vector<K>& axes)                                               \
    {                                                                                                              \
        return WithStage(stageID, false, [&](CStageAccess& s) { return s.IsMoving(axes); });                       \
    }                                                                                                              \
    int WaitForStop(std::uint32_t stageID, const std::vector<K>& axes, std::uint32_t timeoutMs)                    \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.WaitForStop(axes, timeoutMs); }); \
    }                                                                                                              \
    int UndefineLimits(std::uint32_t stageID, const std::vector<K>& axes)                                          \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.UndefineLimits(axes); });         \
    }                                                                                                              \
    int GetMaxima(std::uint32_t stageID, PositionsOf<K>& maxima, const ESelection& selection)                      \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetMaxima(maxima, selection); }); \
    }                                                                                                              \
    int GetMinima(std::uint32_t stageID, PositionsOf<K>& minima, const ESelection& selection)                      \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetMinima(minima, selection); }); \
    }                                                                                                              \
    int SetMaxima(std::uint32_t stageID, const PositionsOf<K>& maxima)                                             \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetMaxima(maxima); });            \
    }                                                                                                              \
    int SetMinima(std::uint32_t stageID, const PositionsOf<K>& minima)                                             \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetMinima(minima); });            \
    }                                                                                                              \
    int GetCalibration(std::uint32_t stageID, PositionsOf<K>& calibration, const ESelection& selection)            \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage,                                                                   \
                         [&](CStageAccess& s) { return s.GetCalibration(calibration, selection); });               \
    }                                                                                                              \
    int SetCalibration(std::uint32_t stageID, const PositionsOf<K>& calibration)                                   \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetCalibration(calibration); });  \
    }                                                                                                              \
    int GetSpeeds(std::uint32_t stageID, SpeedsOf<K>& speeds, const ESelection& selection)                         \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetSpeeds(speeds, selection); }); \
    }                                                                                                              \
    int SetSpeeds(std::uint32_t stageID, const SpeedsOf<K>& speeds)                                                \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetSpeeds(speeds); });            \
    }                                                                                                              \
    bool AreLimitsDefined(std::uint32_t stageID, K axis)                                                           \
    {                                                                                                              \
        return WithStage(stageID, false, [&](CStageAccess& s) { return s.AreLimitsDefined(&axis); });              \
    }                                                                                                              \
    int UndefineLimits(std::uint32_t stageID, K axis)                                                              \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.UndefineLimits(axis); });         \
    }                                                                                                              \
    int GetPosition(std::uint32_t stageID, K axis, Position& position)                                             \
    {                                                                                                              \
        return QueryOne(axis, position, position,                                                                  \
                        [&](PositionsOf<K>& map) { return GetPosition(stageID, map, eGivenAxes); });               \
    }                                                                                                              \
    int MoveTo(std::uint32_t stageID, K axis, const Position& position, bool wait)                                 \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            const PositionsOf<K> targets{{axis, position}};                                                        \
            return wait ? s.SetPosition(targets) : s.MoveToPos(targets);                                           \
        });                                                                                                        \
    }                                                                                                              \
    int MoveFree(std::uint32_t stageID, K axis, double speed)                                                      \
    {                                                                                                              \
        return MoveFree(stageID, SpeedsOf<K>{{axis, speed}});                                                      \
    }                                                                                                              \
    bool IsMoving(std::uint32_t stageID, K axis) { return IsMoving(stageID, std::vector<K>{axis}); }               \
    int WaitForStop(std::uint32_t stageID, K axis, std::uint32_t timeoutMs)                                        \
    {                                                                                                              \
        return WaitForStop(stageID, std::vector<K>{axis}, timeoutMs);                                              \
    }                                                                                                              \
    int GetAxisLimits(std::uint32_t stageID, K axis, Position& minimum, Position& maximum)                         \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            PositionsOf<K> maxima{{axis, c_emptyEntry}}, minima{{axis, c_emptyEntry}};                             \
            int rc = s.GetMaxima(maxima, eGivenAxes);                                                              \
            if (rc == c_OK)                                                                                        \
                rc = s.GetMinima(minima, eGivenAxes);                                                              \
            if (rc == c_OK && maxima.count(axis) && minima.count(axis)) {                                          \
                maximum = maxima[axis];                                                                            \
                minimum = minima[axis];                                                                            \
            }                                                                                                      \
            return rc;                                                                                             \
        });                                                                                                        \
    }                                                                                                              \
    int SetAxisLimits(std::uint32_t stageID, K axis, const Position& minimum, const Position& maximum)             \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            const int checked = CheckLimitPair(minimum, maximum);                                                  \
            if (checked != c_OK)                                                                                   \
                return checked;                                                                                    \
            return s.SetLimitPairs(PositionsOf<K>{{axis, minimum}}, PositionsOf<K>{{axis, maximum}});              \
        });                                                                                                        \
    }                                                                                                              \
    int GetCalibration(std::uint32_t stageID, K axis, Position& calibration)                                       \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            return QueryOne(axis, calibration, c_emptyEntry,                                                       \
                            [&](PositionsOf<K>& map) { return s.GetCalibration(map, eGivenAxes); });               \
        });                                                                                                        \
    }                                                                                                              \
    int SetCalibration(std::uint32_t stageID, K axis, const Position& calibration)                                 \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            return s.SetCalibration(PositionsOf<K>{{axis, calibration}});                                          \
        });                                                                                                        \
    }                                                                                                              \
    int GetAxisSpeed(std::uint32_t stageID, K axis, double& speed)                                                 \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            return QueryOne(axis, speed, 0.0, [&](SpeedsOf<K>& map) { return s.GetSpeeds(map, eGivenAxes); });     \
        });                                                                                                        \
    }                                                                                                              \
    int SetAxisSpeed(std::uint32_t stageID, K axis, double speed)                                                  \
    {                                                                                                              \
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {                                            \
            return s.SetSpeeds(SpeedsOf<K>{{axis, speed}});                                                        \
        });                                                                                                        \
    }

PLINTH_DEFINE_AXIS_FUNCTIONS(int)
PLINTH_DEFINE_AXIS_FUNCTIONS(EAxisType)
#undef PLINTH_DEFINE_AXIS_FUNCTIONS

PositionsByType CvtVec2DToPosByType(const utl::TUnitValue<geo::CdVec2>& vec) { return VecToPosByType(vec); }
PositionsByType CvtVec3DToPosByType(const utl::TUnitValue<geo::CdVec3>& vec) { return VecToPosByType(vec); }
utl::TUnitValue<geo::CdVec2> CvtPosByTypeToVec2D(const PositionsByType& positions)
{
    return PosByTypeToVec<geo::CdVec2>(positions);
}
utl::TUnitValue<geo::CdVec3> CvtPosByTypeToVec3D(const PositionsByType& positions)
{
    return PosByTypeToVec<geo::CdVec3>(positions);
}
utl::TUnitValue<geo::CdVec2> CvtPosToVec2D(std::uint32_t stageID, const PositionsOf<int>& positions)
{
    return PosToVec<geo::CdVec2>(stageID, positions);
}
utl::TUnitValue<geo::CdVec3> CvtPosToVec3D(std::uint32_t stageID, const PositionsOf<int>& positions)
{
    return PosToVec<geo::CdVec3>(stageID, positions);
}

std::vector<EAxisType> CvtAxesToAxisTypes(std::uint32_t stageID, const std::vector<int>& axes)
{
    std::vector<EAxisType> types;
    for (int axis : axes)
        types.push_back(GetAxisType(stageID, axis));
    return types;
}

std::vector<int> CvtAxisTypesToAxes(std::uint32_t stageID, const std::vector<EAxisType>& types)
{
    std::vector<int> axes;
    for (EAxisType type : types)
        axes.push_back(GetAxisFromType(stageID, type));
    return axes;
}

#define PLINTH_DEFINE_VECTOR_FUNCTIONS(SUFFIX, V)                                                                     \
    int MoveTo##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& position, bool wait)                          \
    {                                                                                                                 \
        return MoveToVec(stageID, position, wait);                                                                    \
    }                                                                                                                 \
    int GetPosition##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& position)                                      \
    {                                                                                                                 \
        return GetPositionVec(stageID, position);                                                                     \
    }                                                                                                                 \
    int SetAxisLimits##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& minimum,                               \
                              const utl::TUnitValue<V>& maximum)                                                      \
    {                                                                                                                 \
        return SetAxisLimitsVec(stageID, minimum, maximum);                                                           \
    }                                                                                                                 \
    int GetAxisLimits##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& minimum, utl::TUnitValue<V>& maximum)        \
    {                                                                                                                 \
        return GetAxisLimitsVec(stageID, minimum, maximum);                                                           \
    }                                                                                                                 \
    int SetCalibration##SUFFIX(std::uint32_t stageID, const utl::TUnitValue<V>& calibration)                          \
    {                                                                                                                 \
        return SetCalibration(stageID, VecToPosByType(calibration));                                                  \
    }                                                                                                                 \
    int GetCalibration##SUFFIX(std::uint32_t stageID, utl::TUnitValue<V>& calibration)                                \
    {                                                                                                                 \
        return GetCalibrationVec(stageID, calibration);                                                               \
    }                                                                                                                 \
    bool IsMoving##SUFFIX(std::uint32_t stageID) { return IsMoving(stageID, TypesOf<V>()); }                          \
    int WaitForStop##SUFFIX(std::uint32_t stageID, std::uint32_t timeoutMs)                                           \
    {                                                                                                                 \
        return WaitForStop(stageID, TypesOf<V>(), timeoutMs);                                                         \
    }                                                                                                                 \
    int MoveFree##SUFFIX(std::uint32_t stageID, const V& speeds) { return MoveFree(stageID, SpeedsFromVec(speeds)); } \
    int GetSpeed##SUFFIX(std::uint32_t stageID, V& speeds) { return GetSpeedVec(stageID, speeds); }                   \
    int SetSpeed##SUFFIX(std::uint32_t stageID, const V& speeds) { return SetSpeeds(stageID, SpeedsFromVec(speeds)); }

PLINTH_DEFINE_VECTOR_FUNCTIONS(XY, geo::CdVec2)
PLINTH_DEFINE_VECTOR_FUNCTIONS(XYZ, geo::CdVec3)
#undef PLINTH_DEFINE_VECTOR_FUNCTIONS

bool IsAxisEnabled(std::uint32_t stageID, int axis) { return IsEnabled(stageID, axis); }
bool IsAxisEnabled(std::uint32_t stageID, EAxisType type) { return IsEnabled(stageID, type); }
int EnableAxis(std::uint32_t stageID, int axis, bool enable) { return Enable(stageID, axis, enable); }
int EnableAxis(std::uint32_t stageID, EAxisType type, bool enable) { return Enable(stageID, type, enable); }

} // namespace stg
