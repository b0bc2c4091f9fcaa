#include <plinth/StageAPI.h>

#include <app/CDbgErrInfo.h>
#include <app/CError.h>
#include <app/LastError.h>
#include <plinth/CStageManager.h>
#include <plinth/PropertyAccess.h>
#include <plinth/PropertyIDs.h>
#include <plinth/ResultCodes.h>

namespace stg {
namespace {

CStageAccess* Stage(std::uint32_t stageID) { return CStageManager::StageManager().GetStage(stageID); }

// The frame of a pass-through function: the missing-stage answer, or the stage's answer.
template <class Answer, class Call>
Answer WithStage(std::uint32_t stageID, Answer missing, Call&& call)
{
    CStageAccess* stage = Stage(stageID);
    return stage ? call(*stage) : missing;
}

// The axis a typed-property call addresses: a number as given, a type through the stage.
int AxisOf(const CStageAccess&, int axis) { return axis; }
int AxisOf(const CStageAccess& stage, EAxisType type) { return stage.GetAxisFromType(type); }

template <class T>
int GetStageProperty(std::uint32_t stageID, int propID, T& value)
{
    CStageAccess* stage = GetStageAccess(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    return ReadStageProperty(stage->GetMediumLevel().GetLowLevel(), propID, value);
}

template <class T>
int SetStageProperty(std::uint32_t stageID, int propID, const T& value)
{
    CStageAccess* stage = GetStageAccess(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    WriteStageProperty(stage->GetMediumLevel().GetLowLevel(), propID, value);
    return c_OK;
}

template <class Key, class T>
int GetAxisProperty(std::uint32_t stageID, Key key, int propID, T& value)
{
    CStageAccess* stage = GetStageAccess(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    return ReadAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), propID, value);
}

template <class Key, class T>
int SetAxisProperty(std::uint32_t stageID, Key key, int propID, const T& value)
{
    CStageAccess* stage = GetStageAccess(stageID);
    if (!stage)
        return c_NoSuchStage;
    if (!CStageAccess::IsAllowedPropAccessML(propID))
        return c_PropertyNotAccessible;
    return WriteAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), propID, value);
}

template <class Key>
bool IsEnabled(std::uint32_t stageID, Key key)
{
    CStageAccess* stage = Stage(stageID);
    bool enabled = false;
    return stage &&
           ReadAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), c_propAxisEnabled, enabled) ==
               c_OK &&
           enabled;
}

template <class Key>
int Enable(std::uint32_t stageID, Key key, bool enable)
{
    CStageAccess* stage = Stage(stageID);
    if (!stage)
        return c_NoSuchStage;
    return WriteAxisProperty(stage->GetMediumLevel().GetLowLevel(), AxisOf(*stage, key), c_propAxisEnabled, enable);
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

bool IsAxisEnabled(std::uint32_t stageID, int axis) { return IsEnabled(stageID, axis); }
bool IsAxisEnabled(std::uint32_t stageID, EAxisType type) { return IsEnabled(stageID, type); }
int EnableAxis(std::uint32_t stageID, int axis, bool enable) { return Enable(stageID, axis, enable); }
int EnableAxis(std::uint32_t stageID, EAxisType type, bool enable) { return Enable(stageID, type, enable); }

} // namespace stg
