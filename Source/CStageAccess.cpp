#include <plinth/CStageAccess.h>

#include <cmath>

#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>

#include "ReusedMap.h"
#include "SettingValues.h"
#include "TickMath.h"

namespace stg {

CStageAccess::CStageAccess(CMediumLevelStage& medium) : m_medium(medium), m_precision(medium) {}

CStageAccess::CStageAccess(const CStageAccess& other) : m_medium(other.m_medium), m_precision(other.m_medium) {}

CStageAccess& CStageAccess::operator=(const CStageAccess&) { return *this; }

CStageAccess::~CStageAccess() = default;

// Conversions

// A conversion's reads (calibration, offset, direction) run under one hold of the stage lock; a
// map's conversions under one hold for the whole map.

bool CStageAccess::FetchCalibration(const Hold& held, int axis, Position& calibration) const
{
    calibration = Position(1.0, utl::c_mum); // kept when the read answers c_OK without a value
    return m_medium.GetCalibration(held, axis, calibration) == c_OK;
}

bool CStageAccess::IsInverted(int axis) const
{
    const Hold held(LowLevel());
    return IsInverted(held, axis);
}

bool CStageAccess::IsInverted(const Hold& held, int axis) const
{
    bool inverted = false;
    ReadAxisProperty(LowLevel(), held, axis, c_propAxisInverted, inverted);
    return inverted;
}

int CStageAccess::ToTicks(int axis, const Position& position, std::int64_t& ticks) const
{
    const Hold held(LowLevel());
    return ToTicks(held, axis, position, ticks);
}

int CStageAccess::ToTicks(const Hold& held, int axis, const Position& position, std::int64_t& ticks) const
{
    ticks = 0;
    if (!detail::IsFinite(position))
        return c_InvalidValue;
    Position calibration;
    if (!FetchCalibration(held, axis, calibration))
        return c_OK; // an axis without a readable calibration converts to tick 0
    // A stored calibration that could not be set today (zero, negative, not a length on a linear
    // axis, not finite) moves nothing.
    if (!detail::IsValidCalibration(LowLevel().GetAxisType(held, axis), calibration))
        return c_InvalidValue;
    const double value = utl::Convert(position.GetValue(), position.GetUnit(), calibration.GetUnit());
    const double quotient = value / calibration.GetValue();
    if (!std::isfinite(quotient))
        return c_InvalidValue; // beyond every tick, not the end of the tick range
    ticks = detail::TruncToTicks(quotient);
    std::int64_t offset = 0;
    if (ReadAxisProperty(LowLevel(), held, axis, c_propOffsetPosition, offset) == c_OK)
        ticks = detail::SubTicks(ticks, offset);
    if (IsInverted(held, axis))
        ticks = detail::NegateTicks(ticks);
    return c_OK;
}

int CStageAccess::ToTicks(const PosMap& positions, TickMap& ticks) const
{
    const Hold held(LowLevel());
    return ToTicks(held, positions, ticks);
}

int CStageAccess::ToTicks(const Hold& held, const PosMap& positions, TickMap& ticks) const
{
    int rc = c_OK;
    detail::Refill(ticks, [&](const auto& put) {
        for (const auto& [axis, position] : positions) {
            std::int64_t converted = 0;
            rc = ToTicks(held, axis, position, converted);
            if (rc != c_OK)
                return;
            put(axis, converted);
        }
    });
    return rc;
}

std::int64_t CStageAccess::CvtPos2TicPos(int axis, const Position& position) const
{
    std::int64_t ticks = 0;
    ToTicks(axis, position, ticks); // a number that is not finite gives tick 0
    return ticks;
}

CStageAccess::Position CStageAccess::CvtTicPos2Pos(int axis, std::int64_t ticks) const
{
    const Hold held(LowLevel());
    return ToPosition(held, axis, ticks);
}

CStageAccess::Position CStageAccess::ToPosition(const Hold& held, int axis, std::int64_t ticks) const
{
    Position calibration;
    if (!FetchCalibration(held, axis, calibration))
        return Position(0.0, utl::c_null);
    if (IsInverted(held, axis))
        ticks = detail::NegateTicks(ticks);
    std::int64_t offset = 0;
    if (ReadAxisProperty(LowLevel(), held, axis, c_propOffsetPosition, offset) == c_OK)
        ticks = detail::AddTicks(ticks, offset);
    return Position(static_cast<double>(ticks) * calibration.GetValue(), calibration.GetUnit());
}

CStageAccess::TickMap CStageAccess::CvtPos2TicPos(const PosMap& positions) const
{
    TickMap ticks;
    for (const auto& [axis, position] : positions)
        ticks[axis] = CvtPos2TicPos(axis, position);
    return ticks;
}

CStageAccess::PosMap CStageAccess::CvtTicPos2Pos(const TickMap& ticks) const
{
    PosMap positions;
    for (const auto& [axis, tick] : ticks)
        positions[axis] = CvtTicPos2Pos(axis, tick);
    return positions;
}

void CStageAccess::ConvertInto(const Hold& held, const TickMap& ticks, PosMap& positions) const
{
    detail::Refill(positions, [&](const auto& put) {
        for (const auto& [axis, tick] : ticks)
            put(axis, ToPosition(held, axis, tick));
    });
}

CStageAccess::TickMap CStageAccess::createTicPos4Pos(const PosMap& positions, ESelection selection) const
{
    TickMap request;
    FillRequest(positions, selection, request);
    return request;
}

void CStageAccess::FillRequest(const PosMap& positions, ESelection selection, TickMap& request) const
{
    if (selection == eAllAxes) {
        Axes enabled;
        m_medium.GetEnabledAxes(enabled); // a failing call leaves the list empty
        detail::Refill(request, [&](const auto& put) {
            for (int axis : enabled)
                put(axis, 0);
        });
    } else {
        detail::Refill(request, [&](const auto& put) {
            for (const auto& entry : positions)
                put(entry.first, 0);
        });
    }
}

// Moves and positions

int CStageAccess::MoveFree(const SpeedMap& speeds)
{
    SpeedMap directed;
    for (const auto& [axis, speed] : speeds) {
        if (!detail::IsFinite(speed))
            return c_InvalidValue; // a NaN has no direction
        directed[axis] = IsInverted(axis) ? -speed : speed;
    }
    return m_medium.MoveFree(directed);
}

int CStageAccess::MoveToPos(const PosMap& targets)
{
    std::optional<Hold> held(std::in_place, LowLevel());
    return MoveToPos(held, targets);
}

int CStageAccess::MoveToPos(std::optional<Hold>& held, const PosMap& targets)
{
    detail::CReusedMap<TickMap> reused;
    TickMap& ticks = reused.Get();
    const int rc = ToTicks(*held, targets, ticks);
    if (rc != c_OK)
        return rc;
    const bool precision = IsPrecisionEnabled(*held);
    held.reset();
    return precision ? m_precision.MoveToPos(ticks) : m_medium.MoveToPos(ticks);
}

int CStageAccess::SetPosition(const PosMap& targets)
{
    TickMap ticks;
    const int rc = ToTicks(targets, ticks);
    if (rc != c_OK)
        return rc;
    return IsPrecisionEnabled() ? m_precision.SetPosition(ticks) : m_medium.SetPosition(ticks);
}

int CStageAccess::GetPosition(PosMap& positions, const ESelection& selection)
{
    std::optional<Hold> held(std::in_place, LowLevel());
    return GetPosition(held, positions, selection);
}

int CStageAccess::GetPosition(std::optional<Hold>& held, PosMap& positions, const ESelection& selection)
{
    detail::CReusedMap<TickMap> reused;
    TickMap& request = reused.Get();
    FillRequest(positions, selection, request);
    int rc = c_OK;
    if (IsPrecisionEnabled(*held)) {
        held.reset();
        rc = m_precision.GetPosition(request, selection);
        held.emplace(LowLevel());
    } else {
        rc = m_medium.GetPosition(request, selection);
    }
    if (rc == c_OK)
        ConvertInto(*held, request, positions);
    return rc;
}

// Axis limits, maxima and minima

int CStageAccess::GetAxisLimits(int axis, Position& lower, Position& upper) const
{
    std::int64_t low = 0, high = 0;
    int rc = m_medium.GetAxisLimits(axis, low, high);
    if (rc != c_OK)
        return rc;
    bool inverted = false;
    rc = ReadAxisProperty(LowLevel(), axis, c_propAxisInverted, inverted);
    if (rc != c_OK)
        return rc;
    lower = CvtTicPos2Pos(axis, inverted ? high : low);
    upper = CvtTicPos2Pos(axis, inverted ? low : high);
    return c_OK;
}

int CStageAccess::SetAxisLimits(int axis, const Position& lower, const Position& upper)
{
    bool inverted = false;
    int rc = ReadAxisProperty(LowLevel(), axis, c_propAxisInverted, inverted);
    if (rc != c_OK)
        return rc;
    std::int64_t low = 0, high = 0;
    rc = ToTicks(axis, inverted ? upper : lower, low);
    if (rc == c_OK)
        rc = ToTicks(axis, inverted ? lower : upper, high);
    if (rc != c_OK)
        return rc;
    return m_medium.SetAxisLimits(axis, low, high);
}

int CStageAccess::ReadLimits(PosMap& out, const ESelection& selection, bool maxima) const
{
    TickMap request = createTicPos4Pos(out, selection);
    int rc = c_OK;
    for (auto& [axis, ticks] : request) {
        if (!m_medium.AreLimitsDefined(&axis))
            return c_LimitsNotDefined;
        // On an inverted axis the physical maximum is the tick minimum.
        const int propID = maxima != IsInverted(axis) ? c_propMaximum : c_propMinimum;
        rc = ReadAxisProperty(LowLevel(), axis, propID, ticks);
        if (rc != c_OK)
            break; // this axis and the ones after it keep tick 0
    }
    out = CvtTicPos2Pos(request);
    return rc;
}

int CStageAccess::WriteLimits(const PosMap& in, bool maxima)
{
    TickMap converted;
    const int converting = ToTicks(in, converted);
    if (converting != c_OK)
        return converting; // nothing written
    for (const auto& [axis, ticks] : converted) {
        const int propID = maxima != IsInverted(axis) ? c_propMaximum : c_propMinimum;
        const int rc = LowLevel().WriteLimits(axis, {{propID, ticks}});
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CStageAccess::SetLimitPairs(const PosMap& minima, const PosMap& maxima)
{
    TickMap lower, upper;
    int rc = ToTicks(minima, lower);
    if (rc == c_OK)
        rc = ToTicks(maxima, upper);
    if (rc != c_OK)
        return rc; // nothing written
    for (const auto& [axis, lowerTicks] : lower) {
        const auto found = upper.find(axis);
        if (found == upper.end())
            return c_GeneralFailure;
        const bool inverted = IsInverted(axis);
        rc = LowLevel().WriteLimits(axis, {{inverted ? c_propMaximum : c_propMinimum, lowerTicks},
                                           {inverted ? c_propMinimum : c_propMaximum, found->second}});
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CStageAccess::SetLimitPairs(const TypePosMap& minima, const TypePosMap& maxima)
{
    return SetLimitPairs(ToAxisKeys(minima), ToAxisKeys(maxima));
}

int CStageAccess::GetMaxima(PosMap& maxima, const ESelection& selection) const
{
    return ReadLimits(maxima, selection, true);
}
int CStageAccess::GetMinima(PosMap& minima, const ESelection& selection) const
{
    return ReadLimits(minima, selection, false);
}
int CStageAccess::SetMaxima(const PosMap& maxima) { return WriteLimits(maxima, true); }
int CStageAccess::SetMinima(const PosMap& minima) { return WriteLimits(minima, false); }

int CStageAccess::UndefineLimits(const Axes& axes) { return m_medium.UndefineLimits(axes); }
int CStageAccess::UndefineLimits(int axis) { return m_medium.UndefineLimits(Axes{axis}); }
bool CStageAccess::AreLimitsDefined(const int* axis) const { return m_medium.AreLimitsDefined(axis); }

// Precision and property access

bool CStageAccess::IsPrecisionEnabled() const
{
    bool enabled = false;
    ReadStageProperty(LowLevel(), c_propPrecisionEnabled, enabled);
    return enabled;
}

bool CStageAccess::IsPrecisionEnabled(const Hold& held) const
{
    bool enabled = false;
    ReadStageProperty(LowLevel(), held, c_propPrecisionEnabled, enabled);
    return enabled;
}

void CStageAccess::EnablePrecision(bool enable) { WriteStageProperty(LowLevel(), c_propPrecisionEnabled, enable); }

bool CStageAccess::IsAllowedPropAccessML(int propID) noexcept
{
    return propID != c_propMinimum && propID != c_propMaximum;
}

// Forwarded

int CStageAccess::GetCalibration(PosMap& calibration, const ESelection& selection) const
{
    return m_medium.GetCalibration(calibration, selection);
}
int CStageAccess::SetCalibration(const PosMap& calibration) const { return m_medium.SetCalibration(calibration); }
int CStageAccess::GetSpeeds(SpeedMap& speeds, const ESelection& selection) const
{
    return m_medium.GetSpeeds(speeds, selection);
}
int CStageAccess::SetSpeeds(const SpeedMap& speeds) { return m_medium.SetSpeeds(speeds); }
bool CStageAccess::IsMoving(const Axes& axes) { return m_medium.IsMoving(axes); }
int CStageAccess::WaitForStop(const Axes& axes, std::uint32_t timeoutMs)
{
    return m_medium.WaitForStop(axes, timeoutMs);
}
int CStageAccess::StopMoving() { return m_medium.StopMoving(); }
int CStageAccess::GetLastEmulatedMoveResult() const { return m_medium.GetLastEmulatedMoveResult(); }
int CStageAccess::EnableUserControl(bool enable) { return m_medium.EnableUserControl(enable); }
bool CStageAccess::IsUserControlEnabled() const { return m_medium.IsUserControlEnabled(); }
bool CStageAccess::CheckConnection() { return m_medium.CheckConnection(); }
int CStageAccess::GetAxisCount() const { return m_medium.GetAxisCount(); }
int CStageAccess::GetEnabledAxes(Axes& axes) const { return m_medium.GetEnabledAxes(axes); }
EAxisType CStageAccess::GetAxisType(const int& axis) const { return m_medium.GetAxisType(axis); }
int CStageAccess::GetAxisFromType(const EAxisType& type) const { return m_medium.GetAxisFromType(type); }
CStageAccess::Axes CStageAccess::GetAxisList() const { return m_medium.GetAxisList(); }

// Axis types

CStageAccess::AxisTypes CStageAccess::cvtAxesToAxisTypes(const Axes& axes) const
{
    AxisTypes types;
    types.reserve(axes.size());
    for (int axis : axes)
        types.push_back(GetAxisType(axis));
    return types;
}

CStageAccess::Axes CStageAccess::cvtAxisTypesToAxes(const AxisTypes& types) const
{
    Axes axes;
    axes.reserve(types.size());
    for (EAxisType type : types)
        axes.push_back(GetAxisFromType(type));
    return axes;
}

CStageAccess::AxisTypes CStageAccess::GetAxisTypeList() const { return cvtAxesToAxisTypes(GetAxisList()); }

template <class V>
std::map<int, V> CStageAccess::ToAxisKeys(const std::map<EAxisType, V>& byType) const
{
    std::map<int, V> byAxis;
    ToAxisKeys(byType, byAxis);
    return byAxis;
}

template <class V>
void CStageAccess::ToAxisKeys(const std::map<EAxisType, V>& byType, std::map<int, V>& byAxis) const
{
    const Hold held(LowLevel());
    ToAxisKeys(held, byType, byAxis);
}

template <class V>
void CStageAccess::ToAxisKeys(const Hold& held, const std::map<EAxisType, V>& byType, std::map<int, V>& byAxis) const
{
    detail::Refill(byAxis, [&](const auto& put) {
        for (const auto& [type, value] : byType)
            put(m_medium.GetAxisFromType(held, type), value); // a later (greater) key overwrites
    });
}

template <class V>
void CStageAccess::ToTypeKeys(const std::map<int, V>& byAxis, std::map<EAxisType, V>& byType) const
{
    const Hold held(LowLevel());
    ToTypeKeys(held, byAxis, byType);
}

template <class V>
void CStageAccess::ToTypeKeys(const Hold& held, const std::map<int, V>& byAxis, std::map<EAxisType, V>& byType) const
{
    // One "AxisType" read per axis, in axis order; two axes of one type collapse into one entry
    // that holds the value of the later axis.
    detail::Refill(byType, [&](const auto& put) {
        for (const auto& [axis, value] : byAxis)
            put(LowLevel().GetAxisType(held, axis), value);
    });
}

int CStageAccess::MoveFree(const TypeSpeedMap& speeds) { return MoveFree(ToAxisKeys(speeds)); }
int CStageAccess::MoveToPos(const TypePosMap& targets)
{
    std::optional<Hold> held(std::in_place, LowLevel());
    detail::CReusedMap<PosMap> byAxis;
    ToAxisKeys(*held, targets, byAxis.Get());
    return MoveToPos(held, byAxis.Get());
}
int CStageAccess::SetPosition(const TypePosMap& targets) { return SetPosition(ToAxisKeys(targets)); }

template <class V, class Query>
int CStageAccess::QueryByAxis(std::map<EAxisType, V>& byType, Query&& query) const
{
    detail::CReusedMap<std::map<int, V>> reused;
    std::map<int, V>& byAxis = reused.Get();
    ToAxisKeys(byType, byAxis);
    const int rc = query(byAxis);
    ToTypeKeys(byAxis, byType); // whatever the answer
    return rc;
}

int CStageAccess::GetPosition(TypePosMap& positions, const ESelection& selection)
{
    // One hold of the stage lock for the whole read while precision mode is off.
    std::optional<Hold> held(std::in_place, LowLevel());
    detail::CReusedMap<PosMap> reused;
    PosMap& byAxis = reused.Get();
    ToAxisKeys(*held, positions, byAxis);
    const int rc = GetPosition(held, byAxis, selection);
    ToTypeKeys(*held, byAxis, positions); // whatever the answer
    return rc;
}

int CStageAccess::GetCalibration(TypePosMap& calibration, const ESelection& selection) const
{
    return QueryByAxis(calibration, [&](PosMap& byAxis) { return m_medium.GetCalibration(byAxis, selection); });
}

int CStageAccess::SetCalibration(const TypePosMap& calibration) const
{
    return m_medium.SetCalibration(ToAxisKeys(calibration));
}

int CStageAccess::GetSpeeds(TypeSpeedMap& speeds, const ESelection& selection) const
{
    return QueryByAxis(speeds, [&](SpeedMap& byAxis) { return m_medium.GetSpeeds(byAxis, selection); });
}

int CStageAccess::SetSpeeds(const TypeSpeedMap& speeds) { return m_medium.SetSpeeds(ToAxisKeys(speeds)); }

int CStageAccess::GetMaxima(TypePosMap& maxima, const ESelection& selection) const
{
    return QueryByAxis(maxima, [&](PosMap& byAxis) { return GetMaxima(byAxis, selection); });
}

int CStageAccess::GetMinima(TypePosMap& minima, const ESelection& selection) const
{
    return QueryByAxis(minima, [&](PosMap& byAxis) { return GetMinima(byAxis, selection); });
}

int CStageAccess::SetMaxima(const TypePosMap& maxima) { return SetMaxima(ToAxisKeys(maxima)); }
int CStageAccess::SetMinima(const TypePosMap& minima) { return SetMinima(ToAxisKeys(minima)); }

int CStageAccess::GetAxisLimits(EAxisType type, Position& lower, Position& upper) const
{
    return GetAxisLimits(GetAxisFromType(type), lower, upper);
}

int CStageAccess::SetAxisLimits(EAxisType type, const Position& lower, const Position& upper)
{
    return SetAxisLimits(GetAxisFromType(type), lower, upper);
}

int CStageAccess::UndefineLimits(EAxisType type) { return UndefineLimits(GetAxisFromType(type)); }

int CStageAccess::UndefineLimits(const AxisTypes& types) { return m_medium.UndefineLimits(cvtAxisTypesToAxes(types)); }

bool CStageAccess::AreLimitsDefined(const EAxisType* type) const
{
    if (!type)
        return false;
    const int axis = GetAxisFromType(*type);
    return axis != -1 && m_medium.AreLimitsDefined(&axis);
}

bool CStageAccess::IsMoving(const AxisTypes& types) { return m_medium.IsMoving(cvtAxisTypesToAxes(types)); }

int CStageAccess::WaitForStop(const AxisTypes& types, std::uint32_t timeoutMs)
{
    return m_medium.WaitForStop(cvtAxisTypesToAxes(types), timeoutMs);
}

int CStageAccess::GetEnabledAxes(AxisTypes& types) const
{
    Axes axes = cvtAxisTypesToAxes(types);
    const int rc = m_medium.GetEnabledAxes(axes);
    types = cvtAxesToAxisTypes(axes);
    return rc;
}

} // namespace stg
