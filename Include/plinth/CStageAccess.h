#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <plinth/CMediumLevelStage.h>
#include <plinth/CPrecision.h>
#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

namespace stg {

// The top layer of one active stage: physical positions with units instead of ticks, axis types
// as an alternative to axis numbers, and precision mode. Everything else goes to the medium level
// unchanged.
//
// Units: a position converts to ticks per axis with "Calibration" (the length of one tick),
// "OffsetPosition" and "AxisInverted", read at every conversion:
//   ticks = s * (trunc(position in the calibration's unit / calibration) - offset),
//   position = (s * ticks + offset) * calibration, in the calibration's unit,
// with s = -1 on an inverted axis. A zero calibration takes the number itself as ticks; an axis
// whose calibration cannot be read converts to tick 0 and to 0.0 in the null unit. Moves and
// limit writes refuse with c_InvalidValue, before anything reaches the layers below, a position
// or a calibration that is not finite and a position beyond every tick (a quotient that is not
// finite); free runs refuse speeds that are not finite the same way. Positions
// come back in the calibration's unit. Incompatible units throw utl::CIncompatibleUnitsError
// straight to the caller (locks are released on the way). Speeds pass as plain doubles.
//
// Axis types: a type means the lowest-numbered axis of that type (-1 when none). Maps keyed by
// type are translated entry by entry in ascending key order, so types the stage lacks collapse
// into one entry under axis -1 (the greatest type's value wins), and that entry goes down like
// any other; maps coming back collapse axes of one type the same way.
//
// Precision mode ("PrecisionEnabled") routes moves and position reads through CPrecision.
//
// No lock of its own; the precision object and the layers below lock as they describe.
class CStageAccess {
public:
    using Axes = std::vector<int>;
    using AxisTypes = std::vector<EAxisType>;
    using Position = utl::TUnitValue<double>;
    using PosMap = std::map<int, Position>;
    using TypePosMap = std::map<EAxisType, Position>;
    using SpeedMap = std::map<int, double>;
    using TypeSpeedMap = std::map<EAxisType, double>;
    using TickMap = CBaseStageML::TickMap;

    explicit CStageAccess(CMediumLevelStage& medium);
    // A copy works on the same medium level with a fresh precision object (its recorded move
    // directions are not copied).
    CStageAccess(const CStageAccess& other);
    // Changes nothing: the object stays bound to its own stage.
    CStageAccess& operator=(const CStageAccess& other);
    virtual ~CStageAccess();

    // Free run: the sign of each value is the direction, reversed on inverted axes.
    virtual int MoveFree(const SpeedMap& speeds);
    virtual int MoveToPos(const PosMap& targets);   // starts the move
    virtual int SetPosition(const PosMap& targets); // returns when the axes have stopped
    // The enabled axes with eAllAxes, else the map's keys; on success the map is replaced by
    // the positions read, each in its axis's calibration unit; otherwise it is left as it was.
    // eAllAxes checks every axis of the stage as a move would, so while one axis is disabled the
    // read answers c_AxisDisabled (c_LimitsNotDefined for an enabled axis without limits outside
    // limit-setting mode) and reads nothing: to read the enabled axes then, name them with
    // eGivenAxes (GetEnabledAxes). In precision mode every read and move asks for all axes, so
    // there the same holds for every selection and every move (see CPrecision).
    virtual int GetPosition(PosMap& positions, const ESelection& selection);

    // Axis-type forms of the four above, through the virtual slots.
    int MoveFree(const TypeSpeedMap& speeds);
    int MoveToPos(const TypePosMap& targets);
    int SetPosition(const TypePosMap& targets);
    int GetPosition(TypePosMap& positions, const ESelection& selection); // map replaced whatever the answer

    // Physical axis limits, through the medium level's limit operations. The bounds swap on an
    // inverted axis; an unreadable "AxisInverted" is answered as an error here.
    int GetAxisLimits(int axis, Position& lower, Position& upper) const;
    int SetAxisLimits(int axis, const Position& lower, const Position& upper);
    int GetAxisLimits(EAxisType type, Position& lower, Position& upper) const;
    int SetAxisLimits(EAxisType type, const Position& lower, const Position& upper);

    // Maxima and minima: the same tick limits, read and written directly as "Maximum" and
    // "Minimum" (swapped on inverted axes) for a map of axes. The getters answer
    // c_LimitsNotDefined for an axis without defined limits, leaving the map untouched.
    int GetMaxima(PosMap& maxima, const ESelection& selection) const;
    int GetMinima(PosMap& minima, const ESelection& selection) const;
    int SetMaxima(const PosMap& maxima);
    int SetMinima(const PosMap& minima);
    int GetMaxima(TypePosMap& maxima, const ESelection& selection) const;
    int GetMinima(TypePosMap& minima, const ESelection& selection) const;
    int SetMaxima(const TypePosMap& maxima);
    int SetMinima(const TypePosMap& minima);
    // Minima and maxima of the same axes written as pairs: per axis the minimum, then the maximum,
    // under one hold of the stage lock (CLowLevelStage::WriteLimits), so that a window may move
    // past its old bounds and no other thread ever sees it half-written. The single writers above
    // refuse, with c_InvalidValue, a bound that would pass the stored other one.
    int SetLimitPairs(const PosMap& minima, const PosMap& maxima);
    int SetLimitPairs(const TypePosMap& minima, const TypePosMap& maxima);

    int UndefineLimits(const Axes& axes);
    int UndefineLimits(int axis);
    int UndefineLimits(EAxisType type);
    int UndefineLimits(const AxisTypes& types);
    bool AreLimitsDefined(const int* axis) const;       // null: every axis
    bool AreLimitsDefined(const EAxisType* type) const; // false for null or a type the stage lacks

    int GetCalibration(PosMap& calibration, const ESelection& selection) const;
    int SetCalibration(const PosMap& calibration) const;
    int GetCalibration(TypePosMap& calibration, const ESelection& selection) const;
    int SetCalibration(const TypePosMap& calibration) const;
    int GetSpeeds(SpeedMap& speeds, const ESelection& selection) const;
    int SetSpeeds(const SpeedMap& speeds);
    int GetSpeeds(TypeSpeedMap& speeds, const ESelection& selection) const;
    int SetSpeeds(const TypeSpeedMap& speeds);

    bool IsMoving(const Axes& axes);
    bool IsMoving(const AxisTypes& types);
    int WaitForStop(const Axes& axes, std::uint32_t timeoutMs);
    int WaitForStop(const AxisTypes& types, std::uint32_t timeoutMs);
    // No lock of this object or of the precision mode: a stop never waits for a precision move.
    int StopMoving();
    // The outcome of the last emulated move (see CBaseStageML::GetLastEmulatedMoveResult).
    int GetLastEmulatedMoveResult() const;

    int EnableUserControl(bool enable);
    bool IsUserControlEnabled() const;
    bool CheckConnection();
    int GetAxisCount() const;
    int GetEnabledAxes(Axes& axes) const;
    int GetEnabledAxes(AxisTypes& types) const;
    EAxisType GetAxisType(const int& axis) const;
    int GetAxisFromType(const EAxisType& type) const;
    Axes GetAxisList() const;
    AxisTypes GetAxisTypeList() const;
    AxisTypes cvtAxesToAxisTypes(const Axes& axes) const;
    Axes cvtAxisTypesToAxes(const AxisTypes& types) const;

    // The precision switch ("PrecisionEnabled"); takes effect at the next move or read.
    bool IsPrecisionEnabled() const;
    void EnablePrecision(bool enable);

    // Whether a property may be read and written through the property functions: not the axis
    // limits "Minimum" and "Maximum", which go through the limit operations in physical units.
    static bool IsAllowedPropAccessML(int propID) noexcept;

    CMediumLevelStage& GetMediumLevel() const noexcept { return m_medium; }

protected:
    std::int64_t CvtPos2TicPos(int axis, const Position& position) const;
    Position CvtTicPos2Pos(int axis, std::int64_t ticks) const;
    TickMap CvtPos2TicPos(const PosMap& positions) const;
    PosMap CvtTicPos2Pos(const TickMap& ticks) const;
    // The request map of a position read: the enabled axes with eAllAxes, else the keys; all 0.
    TickMap createTicPos4Pos(const PosMap& positions, ESelection selection) const;

private:
    using Hold = CLowLevelStage::CHold;

    // The conversion of CvtPos2TicPos, refusing (c_InvalidValue) a position or a calibration
    // that is not finite and a quotient beyond every tick; `ticks` is then 0. The map form stops
    // at the first refused axis.
    int ToTicks(int axis, const Position& position, std::int64_t& ticks) const;
    int ToTicks(const PosMap& positions, TickMap& ticks) const;
    // The conversions under a hold of the stage lock, which their reads do not take again.
    int ToTicks(const Hold& held, int axis, const Position& position, std::int64_t& ticks) const;
    int ToTicks(const Hold& held, const PosMap& positions, TickMap& ticks) const;
    // MoveToPos with the stage lock held by `held` for the conversion and "PrecisionEnabled";
    // the hold is let go before the move starts: precision mode's lock comes before the stage
    // lock, and an emulated move's worker takes the stage lock as soon as it has the move.
    int MoveToPos(std::optional<Hold>& held, const PosMap& targets);
    Position ToPosition(const Hold& held, int axis, std::int64_t ticks) const;
    CLowLevelStage& LowLevel() const noexcept { return m_medium.GetLowLevel(); }
    // The axis's calibration, or nothing when it cannot be fetched.
    bool FetchCalibration(const Hold& held, int axis, Position& calibration) const;
    bool IsPrecisionEnabled(const Hold& held) const;
    bool IsInverted(int axis) const; // an unreadable flag counts as not inverted
    bool IsInverted(const Hold& held, int axis) const;
    int ReadLimits(PosMap& out, const ESelection& selection, bool maxima) const;
    int WriteLimits(const PosMap& in, bool maxima);

    template <class V>
    std::map<int, V> ToAxisKeys(const std::map<EAxisType, V>& byType) const;
    // The same into `byAxis`, replacing what it held and reusing its nodes.
    template <class V>
    void ToAxisKeys(const std::map<EAxisType, V>& byType, std::map<int, V>& byAxis) const;
    template <class V>
    void ToAxisKeys(const Hold& held, const std::map<EAxisType, V>& byType, std::map<int, V>& byAxis) const;
    // Translates `byAxis` into `byType`, replacing what it held and reusing its nodes.
    template <class V>
    void ToTypeKeys(const std::map<int, V>& byAxis, std::map<EAxisType, V>& byType) const;
    template <class V>
    void ToTypeKeys(const Hold& held, const std::map<int, V>& byAxis, std::map<EAxisType, V>& byType) const;
    // `positions` becomes the conversion of `ticks`, reusing its nodes.
    void ConvertInto(const Hold& held, const TickMap& ticks, PosMap& positions) const;
    // GetPosition with the stage lock held by `held`, which it keeps across the medium level's
    // read (that takes the lock again, recursively) but lets go before it asks precision mode
    // (whose lock comes before the stage lock), taking a new hold for the conversion after it.
    int GetPosition(std::optional<Hold>& held, PosMap& positions, const ESelection& selection);
    // createTicPos4Pos into `request`, replacing what it held and reusing its nodes.
    void FillRequest(const PosMap& positions, ESelection selection, TickMap& request) const;
    // A query of a type-keyed map: translated to axis numbers, asked, translated back into the
    // caller's map whatever the answer.
    template <class V, class Query>
    int QueryByAxis(std::map<EAxisType, V>& byType, Query&& query) const;

    CMediumLevelStage& m_medium;
    CPrecision m_precision;
};

} // namespace stg
