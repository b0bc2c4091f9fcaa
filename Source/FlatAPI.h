#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <plinth/CStageManager.h>
#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/ResultCodes.h>
#include <utl/PropertyRegistry.h>

#include "SettingValues.h"

// The bodies the exported flat API shares: each exported function is one call of a template here,
// instantiated for its value type (typed properties), its key form (axis number or axis type) or
// its vector (XY or XYZ). Calls back into the exported functions are written stg::Name so that
// they never resolve to a template of the same name here.

namespace stg::flat {

// Every function holds its stage for the length of the call: a stage retired meanwhile by
// another thread stays alive until the call returns.
inline CStageRef Stage(std::uint32_t stageID) { return CStageManager::StageManager().Acquire(stageID); }

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
inline bool IsStructural(int propID) noexcept
{
    return propID == c_propAxes || propID == c_propAxisNo || propID == c_propAxisType;
}

// The axis a typed-property call addresses: a number as given, a type through the stage.
inline int AxisOf(const CStageAccess&, int axis) { return axis; }
inline int AxisOf(const CStageAccess& stage, EAxisType type) { return stage.GetAxisFromType(type); }

// Whether a value written through the typed property functions keeps to the range or the allowed
// values that its property's registration declares (utl::IsDeclaredValue); an unregistered
// property declares nothing.
inline bool IsDeclaredValue(int propID, const mem::CBin& value) { return utl::IsDeclaredValue(propID, value); }

// The answer of a typed read of `stored`, which the vessel answered with `rc`. When the vessel
// answers `absent` (the stage or axis holds no such property) and the property's registration
// declares a default at `scope`, the read answers that default: a stage goes by it until the
// property is written.
template <class T>
int ExtractOrDefault(int rc, int absent, utl::EPropertyScope scope, int propID, mem::CBin& stored, T& value)
{
    if (rc == absent) {
        const auto info = utl::FindProperty(propID);
        if (info && info->defaultValue.GetTypeCode() != mem::c_tEmpty &&
            (info->scope == utl::EPropertyScope::Any || info->scope == scope)) {
            stored = info->defaultValue;
            rc = c_OK;
        }
    }
    if (rc == c_OK && !detail::Extract(stored, value))
        return c_PropertyNotAccessible;
    return rc;
}

template <class T>
int GetStageProperty(std::uint32_t stageID, int propID, T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    mem::CBin stored;
    const int rc = stage->GetMediumLevel().GetLowLevel().GetPropertyVessel(propID, stored);
    return ExtractOrDefault(rc, c_GeneralFailure, utl::EPropertyScope::Stage, propID, stored, value);
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
    const mem::CBin packed = detail::Pack(value);
    if (!detail::IsValidSetting(propID, packed) || !IsDeclaredValue(propID, packed))
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
    mem::CBin stored;
    const int rc = stage->GetMediumLevel().GetLowLevel().GetPropertyVessel(AxisOf(*stage, key), propID, stored);
    return ExtractOrDefault(rc, c_PropertyNotAccessible, utl::EPropertyScope::Axis, propID, stored, value);
}

template <class Key, class T>
int SetAxisProperty(std::uint32_t stageID, Key key, int propID, const T& value)
{
    const CStageRef stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID) || IsStructural(propID))
        return c_PropertyNotAccessible;
    if (!IsDeclaredValue(propID, detail::Pack(value)))
        return c_InvalidValue;
    return WriteAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), propID, value);
}

template <class Key>
bool IsAxisEnabled(std::uint32_t stageID, Key key)
{
    const CStageRef stage = Stage(stageID);
    bool enabled = false;
    return stage &&
           ReadAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), c_propAxisEnabled, enabled) ==
               c_OK &&
           enabled;
}

template <class Key>
int EnableAxis(std::uint32_t stageID, Key key, bool enable)
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
inline const Position c_emptyEntry(0.0, utl::c_mum);

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

// Limits are written per axis as a pair, the minimum then the maximum, under one hold of the stage
// lock: both are checked before anything is written, so a refused pair changes nothing. Both
// finite, and the minimum not above the maximum.
inline int CheckLimitPair(const Position& minimum, const Position& maximum)
{
    if (!detail::IsFinite(minimum) || !detail::IsFinite(maximum))
        return c_InvalidValue;
    const double maximumInMinimumUnit = utl::Convert(maximum.GetValue(), maximum.GetUnit(), minimum.GetUnit());
    return maximumInMinimumUnit < minimum.GetValue() ? c_InvalidValue : c_OK;
}

// Map and list forms, K the key: int (axis number) or EAxisType.

template <class K>
int GetPosition(std::uint32_t stageID, PositionsOf<K>& positions, const ESelection& selection)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetPosition(positions, selection); });
}

template <class K>
int MoveTo(std::uint32_t stageID, const PositionsOf<K>& targets, bool wait)
{
    return WithStage(stageID, c_NoSuchStage,
                     [&](CStageAccess& s) { return wait ? s.SetPosition(targets) : s.MoveToPos(targets); });
}

template <class K>
int MoveToPos(std::uint32_t stageID, const PositionsOf<K>& targets)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.MoveToPos(targets); });
}

template <class K>
int SetPosition(std::uint32_t stageID, const PositionsOf<K>& targets)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetPosition(targets); });
}

template <class K>
int MoveFree(std::uint32_t stageID, const SpeedsOf<K>& speeds)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.MoveFree(speeds); });
}

template <class K>
bool IsMoving(std::uint32_t stageID, const std::vector<K>& axes)
{
    return WithStage(stageID, false, [&](CStageAccess& s) { return s.IsMoving(axes); });
}

template <class K>
int WaitForStop(std::uint32_t stageID, const std::vector<K>& axes, std::uint32_t timeoutMs)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.WaitForStop(axes, timeoutMs); });
}

template <class K>
int UndefineLimits(std::uint32_t stageID, const std::vector<K>& axes)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.UndefineLimits(axes); });
}

template <class K>
int GetMaxima(std::uint32_t stageID, PositionsOf<K>& maxima, const ESelection& selection)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetMaxima(maxima, selection); });
}

template <class K>
int GetMinima(std::uint32_t stageID, PositionsOf<K>& minima, const ESelection& selection)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetMinima(minima, selection); });
}

template <class K>
int SetMaxima(std::uint32_t stageID, const PositionsOf<K>& maxima)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetMaxima(maxima); });
}

template <class K>
int SetMinima(std::uint32_t stageID, const PositionsOf<K>& minima)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetMinima(minima); });
}

template <class K>
int GetCalibration(std::uint32_t stageID, PositionsOf<K>& calibration, const ESelection& selection)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetCalibration(calibration, selection); });
}

template <class K>
int SetCalibration(std::uint32_t stageID, const PositionsOf<K>& calibration)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetCalibration(calibration); });
}

template <class K>
int GetSpeeds(std::uint32_t stageID, SpeedsOf<K>& speeds, const ESelection& selection)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetSpeeds(speeds, selection); });
}

template <class K>
int SetSpeeds(std::uint32_t stageID, const SpeedsOf<K>& speeds)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetSpeeds(speeds); });
}

// Single-axis forms: the axis wrapped into a one-entry map or list.

template <class K>
bool AreLimitsDefined(std::uint32_t stageID, K axis)
{
    return WithStage(stageID, false, [&](CStageAccess& s) { return s.AreLimitsDefined(&axis); });
}

template <class K>
int UndefineLimits(std::uint32_t stageID, K axis)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.UndefineLimits(axis); });
}

template <class K>
int GetPosition(std::uint32_t stageID, K axis, Position& position)
{
    if constexpr (std::is_same_v<K, EAxisType>) {
        return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetPositions(&axis, &position, 1); });
    } else {
        return QueryOne(axis, position, position,
                        [&](PositionsOf<K>& map) { return stg::GetPosition(stageID, map, eGivenAxes); });
    }
}

template <class K>
int MoveTo(std::uint32_t stageID, K axis, const Position& position, bool wait)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        const PositionsOf<K> targets{{axis, position}};
        return wait ? s.SetPosition(targets) : s.MoveToPos(targets);
    });
}

template <class K>
int MoveFree(std::uint32_t stageID, K axis, double speed)
{
    return stg::MoveFree(stageID, SpeedsOf<K>{{axis, speed}});
}

template <class K>
bool IsMoving(std::uint32_t stageID, K axis)
{
    return stg::IsMoving(stageID, std::vector<K>{axis});
}

template <class K>
int WaitForStop(std::uint32_t stageID, K axis, std::uint32_t timeoutMs)
{
    return stg::WaitForStop(stageID, std::vector<K>{axis}, timeoutMs);
}

template <class K>
int GetAxisLimits(std::uint32_t stageID, K axis, Position& minimum, Position& maximum)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        PositionsOf<K> maxima{{axis, c_emptyEntry}}, minima{{axis, c_emptyEntry}};
        int rc = s.GetMaxima(maxima, eGivenAxes);
        if (rc == c_OK)
            rc = s.GetMinima(minima, eGivenAxes);
        if (rc == c_OK && maxima.count(axis) && minima.count(axis)) {
            maximum = maxima[axis];
            minimum = minima[axis];
        }
        return rc;
    });
}

template <class K>
int SetAxisLimits(std::uint32_t stageID, K axis, const Position& minimum, const Position& maximum)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        const int checked = CheckLimitPair(minimum, maximum);
        if (checked != c_OK)
            return checked;
        return s.SetLimitPairs(PositionsOf<K>{{axis, minimum}}, PositionsOf<K>{{axis, maximum}});
    });
}

template <class K>
int GetCalibration(std::uint32_t stageID, K axis, Position& calibration)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        return QueryOne(axis, calibration, c_emptyEntry,
                        [&](PositionsOf<K>& map) { return s.GetCalibration(map, eGivenAxes); });
    });
}

template <class K>
int SetCalibration(std::uint32_t stageID, K axis, const Position& calibration)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        return s.SetCalibration(PositionsOf<K>{{axis, calibration}});
    });
}

template <class K>
int GetAxisSpeed(std::uint32_t stageID, K axis, double& speed)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        return QueryOne(axis, speed, 0.0, [&](SpeedsOf<K>& map) { return s.GetSpeeds(map, eGivenAxes); });
    });
}

template <class K>
int SetAxisSpeed(std::uint32_t stageID, K axis, double speed)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.SetSpeeds(SpeedsOf<K>{{axis, speed}}); });
}

// Speeds as a length per second. The axis's "Speed" is in the driver's unit, ticks per second, and
// one tick is the axis's calibration long: the speed per second is "Speed" times the calibration,
// in the calibration's unit. An axis whose calibration cannot convert (not a positive finite
// value with a unit) answers c_InvalidValue. The calibration and the speed are read one after the
// other, each under the stage lock.
inline int SpeedCalibration(const Position& calibration)
{
    const double length = calibration.GetValue();
    return std::isfinite(length) && length > 0.0 && !calibration.GetUnit().IsNull() ? c_OK : c_InvalidValue;
}

// The calibration of `axis` that its speeds convert with (see SpeedCalibration).
template <class K>
int SpeedCalibrationOf(CStageAccess& s, K axis, Position& calibration)
{
    const int rc = QueryOne(axis, calibration, c_emptyEntry,
                            [&](PositionsOf<K>& map) { return s.GetCalibration(map, eGivenAxes); });
    return rc == c_OK ? SpeedCalibration(calibration) : rc;
}

template <class K>
int GetAxisSpeed(std::uint32_t stageID, K axis, Position& perSecond)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        Position calibration;
        int rc = SpeedCalibrationOf(s, axis, calibration);
        double ticksPerSecond = 0.0;
        if (rc == c_OK)
            rc = QueryOne(axis, ticksPerSecond, 0.0, [&](SpeedsOf<K>& map) { return s.GetSpeeds(map, eGivenAxes); });
        if (rc == c_OK)
            perSecond = Position(ticksPerSecond * calibration.GetValue(), calibration.GetUnit());
        return rc;
    });
}

// A speed in a unit of another kind than the calibration's (degrees for a length) answers
// c_InvalidValue, as does one that is not a positive finite number of ticks per second.
template <class K>
int SetAxisSpeed(std::uint32_t stageID, K axis, const Position& perSecond)
{
    return WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        Position calibration;
        int rc = SpeedCalibrationOf(s, axis, calibration);
        if (rc != c_OK)
            return rc;
        if (!perSecond.GetUnit().IsCompatible(calibration.GetUnit()))
            return c_InvalidValue;
        const double ticksPerSecond =
            utl::Convert(perSecond.GetValue(), perSecond.GetUnit(), calibration.GetUnit()) / calibration.GetValue();
        if (!std::isfinite(ticksPerSecond) || ticksPerSecond <= 0.0)
            return c_InvalidValue;
        return s.SetSpeeds(SpeedsOf<K>{{axis, ticksPerSecond}});
    });
}

// Vector forms, V geo::CdVec2 (XY) or geo::CdVec3 (XYZ).

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

// The vector of the components' positions, in the order of tComponents<V>, in the unit of X.
template <class V, class Entry>
utl::TUnitValue<V> ToVec(Entry&& entry)
{
    const utl::CUnit unit = entry(eAxisX).GetUnit();
    V vec;
    for (const auto& [type, member] : tComponents<V>::c_axes) {
        const Position value = entry(type);
        vec.*member = type == eAxisX ? value.GetValue() : utl::Convert(value.GetValue(), value.GetUnit(), unit);
    }
    return utl::TUnitValue<V>(vec, unit);
}

template <class V>
utl::TUnitValue<V> PosByTypeToVec(const PositionsByType& positions)
{
    return ToVec<V>([&](EAxisType type) {
        auto it = positions.find(type);
        return it == positions.end() ? c_emptyEntry : it->second;
    });
}

template <class V>
utl::TUnitValue<V> PosToVec(std::uint32_t stageID, const PositionsOf<int>& positions)
{
    PositionsByType byType;
    for (const auto& [axis, position] : positions)
        byType[stg::GetAxisType(stageID, axis)] = position; // a later axis of the same type wins
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
    constexpr std::size_t count = std::size(tComponents<V>::c_axes);
    EAxisType types[count];
    Position positions[count];
    for (std::size_t i = 0; i < count; ++i)
        types[i] = tComponents<V>::c_axes[i].first;
    const int rc =
        WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetPositions(types, positions, count); });
    if (rc == c_OK)
        position = ToVec<V>([&](EAxisType type) {
            std::size_t i = 0;
            while (i + 1 < count && types[i] != type)
                ++i;
            return positions[i];
        });
    return rc;
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
    int rc = stg::GetMinima(stageID, minima, eGivenAxes);
    if (rc == c_OK)
        rc = stg::GetMaxima(stageID, maxima, eGivenAxes);
    if (rc == c_OK) {
        minimum = PosByTypeToVec<V>(minima);
        maximum = PosByTypeToVec<V>(maxima);
    }
    return rc;
}

template <class V>
int SetCalibrationVec(std::uint32_t stageID, const utl::TUnitValue<V>& calibration)
{
    return stg::SetCalibration(stageID, VecToPosByType(calibration));
}

template <class V>
int GetCalibrationVec(std::uint32_t stageID, utl::TUnitValue<V>& calibration)
{
    PositionsByType map = EmptyEntries<V>();
    const int rc = stg::GetCalibration(stageID, map, eGivenAxes);
    if (rc == c_OK)
        calibration = PosByTypeToVec<V>(map);
    return rc;
}

template <class V>
bool IsMovingVec(std::uint32_t stageID)
{
    return stg::IsMoving(stageID, TypesOf<V>());
}

template <class V>
int WaitForStopVec(std::uint32_t stageID, std::uint32_t timeoutMs)
{
    return stg::WaitForStop(stageID, TypesOf<V>(), timeoutMs);
}

template <class V>
int MoveFreeVec(std::uint32_t stageID, const V& speeds)
{
    return stg::MoveFree(stageID, SpeedsFromVec(speeds));
}

template <class V>
int GetSpeedVec(std::uint32_t stageID, V& speeds)
{
    SpeedsOf<EAxisType> map = SpeedsFromVec(V{});
    const int rc = stg::GetSpeeds(stageID, map, eGivenAxes);
    if (rc == c_OK)
        for (const auto& [type, member] : tComponents<V>::c_axes)
            speeds.*member = map[type];
    return rc;
}

template <class V>
int SetSpeedVec(std::uint32_t stageID, const V& speeds)
{
    return stg::SetSpeeds(stageID, SpeedsFromVec(speeds));
}

} // namespace stg::flat
