#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>

#include <app/CDbgErrInfo.h>
#include <app/CError.h>
#include <app/LastError.h>
#include <plinth/CStageManager.h>
#include <plinth/driver/ResultCodes.h>

#include "FlatAPI.h"

namespace stg {
namespace {

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
    return flat::WithStage(stageID, false, [](CStageAccess& s) { return s.CheckConnection(); });
}

int GetAxisCount(std::uint32_t stageID)
{
    return flat::WithStage(stageID, 0, [](CStageAccess& s) { return s.GetAxisCount(); });
}

EAxisType GetAxisType(std::uint32_t stageID, const int& axis)
{
    return flat::WithStage(stageID, eAxisNone, [&](CStageAccess& s) { return s.GetAxisType(axis); });
}

int GetAxisFromType(std::uint32_t stageID, const EAxisType& type)
{
    return flat::WithStage(stageID, -1, [&](CStageAccess& s) { return s.GetAxisFromType(type); });
}

int GetEnabledAxes(std::uint32_t stageID, std::vector<int>& axes)
{
    return flat::WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetEnabledAxes(axes); });
}

int GetEnabledAxes(std::uint32_t stageID, std::vector<EAxisType>& types)
{
    return flat::WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.GetEnabledAxes(types); });
}

bool AreLimitsDefined(std::uint32_t stageID)
{
    return flat::WithStage(stageID, false,
                           [](CStageAccess& s) { return s.AreLimitsDefined(static_cast<const int*>(nullptr)); });
}

int EnablePrecision(std::uint32_t stageID, bool enable)
{
    return flat::WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) {
        s.EnablePrecision(enable);
        return c_OK;
    });
}

bool IsPrecisionEnabled(std::uint32_t stageID)
{
    return flat::WithStage(stageID, false, [](CStageAccess& s) { return s.IsPrecisionEnabled(); });
}

int EnableUserControl(std::uint32_t stageID, bool enable)
{
    return flat::WithStage(stageID, c_NoSuchStage, [&](CStageAccess& s) { return s.EnableUserControl(enable); });
}

bool IsUserControlEnabled(std::uint32_t stageID)
{
    return flat::WithStage(stageID, false, [](CStageAccess& s) { return s.IsUserControlEnabled(); });
}

int StopMoving(std::uint32_t stageID)
{
    return flat::WithStage(stageID, c_NoSuchStage, [](CStageAccess& s) { return s.StopMoving(); });
}

int GetLastEmulatedMoveResult(std::uint32_t stageID)
{
    return flat::WithStage(stageID, c_NoSuchStage, [](const CStageAccess& s) { return s.GetLastEmulatedMoveResult(); });
}

std::vector<int> GetAxisList(std::uint32_t stageID)
{
    return flat::WithStage(stageID, std::vector<int>(), [](CStageAccess& s) { return s.GetAxisList(); });
}

std::vector<EAxisType> GetAxisTypeList(std::uint32_t stageID)
{
    return flat::WithStage(stageID, std::vector<EAxisType>(), [](CStageAccess& s) { return s.GetAxisTypeList(); });
}

// Typed properties, per value type: of the stage, of an axis by number, of an axis by type.

int GetProperty(std::uint32_t stageID, const int& propID, int& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const int& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, int& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const int& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, int& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const int& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

int GetProperty(std::uint32_t stageID, const int& propID, double& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const double& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, double& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const double& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, double& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const double& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

int GetProperty(std::uint32_t stageID, const int& propID, std::wstring& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const std::wstring& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, std::wstring& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const std::wstring& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, std::wstring& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const std::wstring& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

int GetProperty(std::uint32_t stageID, const int& propID, bool& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const bool& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, bool& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const bool& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, bool& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const bool& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

int GetProperty(std::uint32_t stageID, const int& propID, std::int64_t& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const std::int64_t& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, std::int64_t& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const std::int64_t& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, std::int64_t& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const std::int64_t& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

int GetProperty(std::uint32_t stageID, const int& propID, utl::TUnitValue<double>& value)
{
    return flat::GetStageProperty(stageID, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& propID, const utl::TUnitValue<double>& value)
{
    return flat::SetStageProperty(stageID, propID, value);
}
int GetProperty(std::uint32_t stageID, const int& axis, const int& propID, utl::TUnitValue<double>& value)
{
    return flat::GetAxisProperty(stageID, axis, propID, value);
}
int SetProperty(std::uint32_t stageID, const int& axis, const int& propID, const utl::TUnitValue<double>& value)
{
    return flat::SetAxisProperty(stageID, axis, propID, value);
}
int GetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, utl::TUnitValue<double>& value)
{
    return flat::GetAxisProperty(stageID, type, propID, value);
}
int SetProperty(std::uint32_t stageID, const EAxisType& type, const int& propID, const utl::TUnitValue<double>& value)
{
    return flat::SetAxisProperty(stageID, type, propID, value);
}

// Positions, moves, limits, calibration and speeds, by axis number and by axis type.

// Map and list forms.
int GetPosition(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& positions, const ESelection& selection)
{
    return flat::GetPosition(stageID, positions, selection);
}
int GetPosition(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& positions,
                const ESelection& selection)
{
    return flat::GetPosition(stageID, positions, selection);
}
int MoveTo(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets, bool wait)
{
    return flat::MoveTo(stageID, targets, wait);
}
int MoveTo(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets, bool wait)
{
    return flat::MoveTo(stageID, targets, wait);
}
int MoveToPos(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets)
{
    return flat::MoveToPos(stageID, targets);
}
int MoveToPos(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets)
{
    return flat::MoveToPos(stageID, targets);
}
int SetPosition(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& targets)
{
    return flat::SetPosition(stageID, targets);
}
int SetPosition(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& targets)
{
    return flat::SetPosition(stageID, targets);
}
int MoveFree(std::uint32_t stageID, const std::map<int, double>& speeds) { return flat::MoveFree(stageID, speeds); }
int MoveFree(std::uint32_t stageID, const std::map<EAxisType, double>& speeds)
{
    return flat::MoveFree(stageID, speeds);
}
bool IsMoving(std::uint32_t stageID, const std::vector<int>& axes) { return flat::IsMoving(stageID, axes); }
bool IsMoving(std::uint32_t stageID, const std::vector<EAxisType>& types) { return flat::IsMoving(stageID, types); }
int WaitForStop(std::uint32_t stageID, const std::vector<int>& axes, std::uint32_t timeoutMs)
{
    return flat::WaitForStop(stageID, axes, timeoutMs);
}
int WaitForStop(std::uint32_t stageID, const std::vector<EAxisType>& types, std::uint32_t timeoutMs)
{
    return flat::WaitForStop(stageID, types, timeoutMs);
}
int UndefineLimits(std::uint32_t stageID, const std::vector<int>& axes) { return flat::UndefineLimits(stageID, axes); }
int UndefineLimits(std::uint32_t stageID, const std::vector<EAxisType>& types)
{
    return flat::UndefineLimits(stageID, types);
}
int GetMaxima(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& maxima, const ESelection& selection)
{
    return flat::GetMaxima(stageID, maxima, selection);
}
int GetMaxima(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& maxima, const ESelection& selection)
{
    return flat::GetMaxima(stageID, maxima, selection);
}
int GetMinima(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& minima, const ESelection& selection)
{
    return flat::GetMinima(stageID, minima, selection);
}
int GetMinima(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& minima, const ESelection& selection)
{
    return flat::GetMinima(stageID, minima, selection);
}
int SetMaxima(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& maxima)
{
    return flat::SetMaxima(stageID, maxima);
}
int SetMaxima(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& maxima)
{
    return flat::SetMaxima(stageID, maxima);
}
int SetMinima(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& minima)
{
    return flat::SetMinima(stageID, minima);
}
int SetMinima(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& minima)
{
    return flat::SetMinima(stageID, minima);
}
int GetCalibration(std::uint32_t stageID, std::map<int, utl::TUnitValue<double>>& calibration,
                   const ESelection& selection)
{
    return flat::GetCalibration(stageID, calibration, selection);
}
int GetCalibration(std::uint32_t stageID, std::map<EAxisType, utl::TUnitValue<double>>& calibration,
                   const ESelection& selection)
{
    return flat::GetCalibration(stageID, calibration, selection);
}
int SetCalibration(std::uint32_t stageID, const std::map<int, utl::TUnitValue<double>>& calibration)
{
    return flat::SetCalibration(stageID, calibration);
}
int SetCalibration(std::uint32_t stageID, const std::map<EAxisType, utl::TUnitValue<double>>& calibration)
{
    return flat::SetCalibration(stageID, calibration);
}
int GetSpeeds(std::uint32_t stageID, std::map<int, double>& speeds, const ESelection& selection)
{
    return flat::GetSpeeds(stageID, speeds, selection);
}
int GetSpeeds(std::uint32_t stageID, std::map<EAxisType, double>& speeds, const ESelection& selection)
{
    return flat::GetSpeeds(stageID, speeds, selection);
}
int SetSpeeds(std::uint32_t stageID, const std::map<int, double>& speeds) { return flat::SetSpeeds(stageID, speeds); }
int SetSpeeds(std::uint32_t stageID, const std::map<EAxisType, double>& speeds)
{
    return flat::SetSpeeds(stageID, speeds);
}

// Single-axis forms.
bool AreLimitsDefined(std::uint32_t stageID, int axis) { return flat::AreLimitsDefined(stageID, axis); }
bool AreLimitsDefined(std::uint32_t stageID, EAxisType type) { return flat::AreLimitsDefined(stageID, type); }
int UndefineLimits(std::uint32_t stageID, int axis) { return flat::UndefineLimits(stageID, axis); }
int UndefineLimits(std::uint32_t stageID, EAxisType type) { return flat::UndefineLimits(stageID, type); }
int GetPosition(std::uint32_t stageID, int axis, utl::TUnitValue<double>& position)
{
    return flat::GetPosition(stageID, axis, position);
}
int GetPosition(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& position)
{
    return flat::GetPosition(stageID, type, position);
}
int MoveTo(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& position, bool wait)
{
    return flat::MoveTo(stageID, axis, position, wait);
}
int MoveTo(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& position, bool wait)
{
    return flat::MoveTo(stageID, type, position, wait);
}
int MoveFree(std::uint32_t stageID, int axis, double speed) { return flat::MoveFree(stageID, axis, speed); }
int MoveFree(std::uint32_t stageID, EAxisType type, double speed) { return flat::MoveFree(stageID, type, speed); }
bool IsMoving(std::uint32_t stageID, int axis) { return flat::IsMoving(stageID, axis); }
bool IsMoving(std::uint32_t stageID, EAxisType type) { return flat::IsMoving(stageID, type); }
int WaitForStop(std::uint32_t stageID, int axis, std::uint32_t timeoutMs)
{
    return flat::WaitForStop(stageID, axis, timeoutMs);
}
int WaitForStop(std::uint32_t stageID, EAxisType type, std::uint32_t timeoutMs)
{
    return flat::WaitForStop(stageID, type, timeoutMs);
}
int GetAxisLimits(std::uint32_t stageID, int axis, utl::TUnitValue<double>& minimum, utl::TUnitValue<double>& maximum)
{
    return flat::GetAxisLimits(stageID, axis, minimum, maximum);
}
int GetAxisLimits(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& minimum,
                  utl::TUnitValue<double>& maximum)
{
    return flat::GetAxisLimits(stageID, type, minimum, maximum);
}
int SetAxisLimits(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& minimum,
                  const utl::TUnitValue<double>& maximum)
{
    return flat::SetAxisLimits(stageID, axis, minimum, maximum);
}
int SetAxisLimits(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& minimum,
                  const utl::TUnitValue<double>& maximum)
{
    return flat::SetAxisLimits(stageID, type, minimum, maximum);
}
int GetCalibration(std::uint32_t stageID, int axis, utl::TUnitValue<double>& calibration)
{
    return flat::GetCalibration(stageID, axis, calibration);
}
int GetCalibration(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& calibration)
{
    return flat::GetCalibration(stageID, type, calibration);
}
int SetCalibration(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& calibration)
{
    return flat::SetCalibration(stageID, axis, calibration);
}
int SetCalibration(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& calibration)
{
    return flat::SetCalibration(stageID, type, calibration);
}
int GetAxisSpeed(std::uint32_t stageID, int axis, double& speed) { return flat::GetAxisSpeed(stageID, axis, speed); }
int GetAxisSpeed(std::uint32_t stageID, EAxisType type, double& speed)
{
    return flat::GetAxisSpeed(stageID, type, speed);
}
int SetAxisSpeed(std::uint32_t stageID, int axis, double speed) { return flat::SetAxisSpeed(stageID, axis, speed); }
int SetAxisSpeed(std::uint32_t stageID, EAxisType type, double speed)
{
    return flat::SetAxisSpeed(stageID, type, speed);
}
int GetAxisSpeed(std::uint32_t stageID, int axis, utl::TUnitValue<double>& perSecond)
{
    return flat::GetAxisSpeed(stageID, axis, perSecond);
}
int GetAxisSpeed(std::uint32_t stageID, EAxisType type, utl::TUnitValue<double>& perSecond)
{
    return flat::GetAxisSpeed(stageID, type, perSecond);
}
int SetAxisSpeed(std::uint32_t stageID, int axis, const utl::TUnitValue<double>& perSecond)
{
    return flat::SetAxisSpeed(stageID, axis, perSecond);
}
int SetAxisSpeed(std::uint32_t stageID, EAxisType type, const utl::TUnitValue<double>& perSecond)
{
    return flat::SetAxisSpeed(stageID, type, perSecond);
}

// Conversions between vectors and maps.
PositionsByType CvtVec2DToPosByType(const utl::TUnitValue<geo::CdVec2>& vec) { return flat::VecToPosByType(vec); }
PositionsByType CvtVec3DToPosByType(const utl::TUnitValue<geo::CdVec3>& vec) { return flat::VecToPosByType(vec); }
utl::TUnitValue<geo::CdVec2> CvtPosByTypeToVec2D(const PositionsByType& positions)
{
    return flat::PosByTypeToVec<geo::CdVec2>(positions);
}
utl::TUnitValue<geo::CdVec3> CvtPosByTypeToVec3D(const PositionsByType& positions)
{
    return flat::PosByTypeToVec<geo::CdVec3>(positions);
}
utl::TUnitValue<geo::CdVec2> CvtPosToVec2D(std::uint32_t stageID,
                                           const std::map<int, utl::TUnitValue<double>>& positions)
{
    return flat::PosToVec<geo::CdVec2>(stageID, positions);
}
utl::TUnitValue<geo::CdVec3> CvtPosToVec3D(std::uint32_t stageID,
                                           const std::map<int, utl::TUnitValue<double>>& positions)
{
    return flat::PosToVec<geo::CdVec3>(stageID, positions);
}

std::vector<EAxisType> CvtAxesToAxisTypes(std::uint32_t stageID, const std::vector<int>& axes)
{
    std::vector<EAxisType> types;
    types.reserve(axes.size());
    for (int axis : axes)
        types.push_back(GetAxisType(stageID, axis));
    return types;
}

std::vector<int> CvtAxisTypesToAxes(std::uint32_t stageID, const std::vector<EAxisType>& types)
{
    std::vector<int> axes;
    axes.reserve(types.size());
    for (EAxisType type : types)
        axes.push_back(GetAxisFromType(stageID, type));
    return axes;
}

// XY and XYZ vectors.
int MoveToXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& position, bool wait)
{
    return flat::MoveToVec(stageID, position, wait);
}
int MoveToXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& position, bool wait)
{
    return flat::MoveToVec(stageID, position, wait);
}
int GetPositionXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& position)
{
    return flat::GetPositionVec(stageID, position);
}
int GetPositionXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& position)
{
    return flat::GetPositionVec(stageID, position);
}
int SetAxisLimitsXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& minimum,
                    const utl::TUnitValue<geo::CdVec2>& maximum)
{
    return flat::SetAxisLimitsVec(stageID, minimum, maximum);
}
int SetAxisLimitsXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& minimum,
                     const utl::TUnitValue<geo::CdVec3>& maximum)
{
    return flat::SetAxisLimitsVec(stageID, minimum, maximum);
}
int GetAxisLimitsXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& minimum, utl::TUnitValue<geo::CdVec2>& maximum)
{
    return flat::GetAxisLimitsVec(stageID, minimum, maximum);
}
int GetAxisLimitsXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& minimum,
                     utl::TUnitValue<geo::CdVec3>& maximum)
{
    return flat::GetAxisLimitsVec(stageID, minimum, maximum);
}
int SetCalibrationXY(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec2>& calibration)
{
    return flat::SetCalibrationVec(stageID, calibration);
}
int SetCalibrationXYZ(std::uint32_t stageID, const utl::TUnitValue<geo::CdVec3>& calibration)
{
    return flat::SetCalibrationVec(stageID, calibration);
}
int GetCalibrationXY(std::uint32_t stageID, utl::TUnitValue<geo::CdVec2>& calibration)
{
    return flat::GetCalibrationVec(stageID, calibration);
}
int GetCalibrationXYZ(std::uint32_t stageID, utl::TUnitValue<geo::CdVec3>& calibration)
{
    return flat::GetCalibrationVec(stageID, calibration);
}
bool IsMovingXY(std::uint32_t stageID) { return flat::IsMovingVec<geo::CdVec2>(stageID); }
bool IsMovingXYZ(std::uint32_t stageID) { return flat::IsMovingVec<geo::CdVec3>(stageID); }
int WaitForStopXY(std::uint32_t stageID, std::uint32_t timeoutMs)
{
    return flat::WaitForStopVec<geo::CdVec2>(stageID, timeoutMs);
}
int WaitForStopXYZ(std::uint32_t stageID, std::uint32_t timeoutMs)
{
    return flat::WaitForStopVec<geo::CdVec3>(stageID, timeoutMs);
}
int MoveFreeXY(std::uint32_t stageID, const geo::CdVec2& speeds) { return flat::MoveFreeVec(stageID, speeds); }
int MoveFreeXYZ(std::uint32_t stageID, const geo::CdVec3& speeds) { return flat::MoveFreeVec(stageID, speeds); }
int GetSpeedXY(std::uint32_t stageID, geo::CdVec2& speeds) { return flat::GetSpeedVec(stageID, speeds); }
int GetSpeedXYZ(std::uint32_t stageID, geo::CdVec3& speeds) { return flat::GetSpeedVec(stageID, speeds); }
int SetSpeedXY(std::uint32_t stageID, const geo::CdVec2& speeds) { return flat::SetSpeedVec(stageID, speeds); }
int SetSpeedXYZ(std::uint32_t stageID, const geo::CdVec3& speeds) { return flat::SetSpeedVec(stageID, speeds); }

bool IsAxisEnabled(std::uint32_t stageID, int axis) { return flat::IsAxisEnabled(stageID, axis); }
bool IsAxisEnabled(std::uint32_t stageID, EAxisType type) { return flat::IsAxisEnabled(stageID, type); }
int EnableAxis(std::uint32_t stageID, int axis, bool enable) { return flat::EnableAxis(stageID, axis, enable); }
int EnableAxis(std::uint32_t stageID, EAxisType type, bool enable) { return flat::EnableAxis(stageID, type, enable); }

} // namespace stg
