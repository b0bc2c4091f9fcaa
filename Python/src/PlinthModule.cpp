// The binding module plinth._plinth: the flat API, the stage manager, units, result codes and
// stage events, as the library has them. The Pythonic layer (package plinth) is written in Python
// on top of this; nothing here decides anything the library does not.
//
// Every call into the library releases the GIL: a blocking move may take seconds, and any call
// may wait for a stage lock held by a blocking move of another thread, during which that thread
// may fire events whose delivery needs the GIL. The calls that block until motion ends (moves
// that wait, waits, the range search, Z escape, restoring a position) run so that Ctrl-C
// interrupts them and stops the stage (InterruptibleCall.h). Every call holds its stage for its
// length, as the flat API does (the flat API's own calls hold it themselves). Output arguments
// come back as tuples, the result code first. Names are those of the flat API; the axis-type
// forms carry the suffix "ByType".

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <dlfcn.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cfg/GlobalPropSets.h>
#include <platform/Module.h>
#include <plinth/DriverModules.h>
#include <plinth/Plinth.h>
#include <utl/PropertyRegistry.h>

#include "CPySubscription.h"
#include "CReleasedGil.h"
#include "Casters.h"
#include "InterruptibleCall.h"

namespace py = pybind11;

namespace {

using Position = utl::TUnitValue<double>;
using Unlocked = py::call_guard<plinthpy::CReleasedGil>;
using plinthpy::CallInterruptibly;

// Every result code of the library lies in this range above c_OK.
constexpr int c_resultCodeSpan = 1000;

// The value-type names of the typed properties, as the Python layer uses them.
const char* ValueTypeName(int typeCode, bool hasUnit)
{
    switch (typeCode) {
    case mem::c_tInt:
        return "int";
    case mem::c_tInt64:
        return "int64";
    case mem::c_tDouble:
        return hasUnit ? "quantity" : "double";
    case mem::c_tBool:
        return "bool";
    case mem::c_tWString:
        return "text";
    case mem::c_tUnitDouble:
        return "quantity";
    default:
        return "";
    }
}

// Calls `f` with a default value of the C++ type named by `type`.
template <class F>
auto WithValueType(const std::string& type, F&& f)
{
    if (type == "int")
        return f(std::int32_t{});
    if (type == "int64")
        return f(std::int64_t{});
    if (type == "double")
        return f(double{});
    if (type == "bool")
        return f(bool{});
    if (type == "text")
        return f(std::wstring{});
    if (type == "quantity")
        return f(Position{});
    throw py::value_error("unknown property value type \"" + type + "\"");
}

// A typed property of the stage (no axis), of an axis by number, or of an axis by type.
struct tPropertyTarget {
    std::uint32_t stageID;
    std::optional<int> axis;
    bool byType;
};

template <class T>
int ReadProperty(const tPropertyTarget& t, int propID, T& value)
{
    if (!t.axis)
        return stg::GetProperty(t.stageID, propID, value);
    if (t.byType)
        return stg::GetProperty(t.stageID, static_cast<stg::EAxisType>(*t.axis), propID, value);
    return stg::GetProperty(t.stageID, *t.axis, propID, value);
}

template <class T>
int WriteProperty(const tPropertyTarget& t, int propID, const T& value)
{
    if (!t.axis)
        return stg::SetProperty(t.stageID, propID, value);
    if (t.byType)
        return stg::SetProperty(t.stageID, static_cast<stg::EAxisType>(*t.axis), propID, value);
    return stg::SetProperty(t.stageID, *t.axis, propID, value);
}

// A query that fills a map: (code, map).
template <class Map, int (*Query)(std::uint32_t, Map&, const stg::ESelection&)>
std::pair<int, Map> MapQuery(std::uint32_t stageID, Map map, stg::ESelection selection)
{
    const int rc = Query(stageID, map, selection);
    return {rc, std::move(map)};
}

template <class K>
void BindAxisFunctions(py::module_& m, const std::string& suffix)
{
    using PosMap = std::map<K, Position>;
    using SpeedMap = std::map<K, double>;
    using List = std::vector<K>;
    const auto name = [&](const char* base) { return std::string(base) + suffix; };

    m.def(name("GetPosition").c_str(), &MapQuery<PosMap, &stg::GetPosition>, Unlocked());
    m.def(name("GetMinima").c_str(), &MapQuery<PosMap, &stg::GetMinima>, Unlocked());
    m.def(name("GetMaxima").c_str(), &MapQuery<PosMap, &stg::GetMaxima>, Unlocked());
    m.def(name("GetCalibration").c_str(), &MapQuery<PosMap, &stg::GetCalibration>, Unlocked());
    m.def(name("GetSpeeds").c_str(), &MapQuery<SpeedMap, &stg::GetSpeeds>, Unlocked());
    m.def(name("MoveTo").c_str(), [](std::uint32_t stageID, const PosMap& targets, bool wait) {
        return CallInterruptibly(stageID, [=] { return stg::MoveTo(stageID, targets, wait); });
    });
    m.def(name("MoveFree").c_str(), py::overload_cast<std::uint32_t, const SpeedMap&>(&stg::MoveFree), Unlocked());
    m.def(name("IsMoving").c_str(), py::overload_cast<std::uint32_t, const List&>(&stg::IsMoving), Unlocked());
    m.def(name("WaitForStop").c_str(), [](std::uint32_t stageID, const List& axes, std::uint32_t timeoutMs) {
        return CallInterruptibly(stageID, [=] { return stg::WaitForStop(stageID, axes, timeoutMs); });
    });
    m.def(name("UndefineLimits").c_str(), py::overload_cast<std::uint32_t, const List&>(&stg::UndefineLimits),
          Unlocked());
    m.def(name("SetMinima").c_str(), py::overload_cast<std::uint32_t, const PosMap&>(&stg::SetMinima), Unlocked());
    m.def(name("SetMaxima").c_str(), py::overload_cast<std::uint32_t, const PosMap&>(&stg::SetMaxima), Unlocked());
    m.def(name("SetCalibration").c_str(), py::overload_cast<std::uint32_t, const PosMap&>(&stg::SetCalibration),
          Unlocked());
    m.def(name("SetSpeeds").c_str(), py::overload_cast<std::uint32_t, const SpeedMap&>(&stg::SetSpeeds), Unlocked());
    m.def(name("AreLimitsDefined").c_str(), py::overload_cast<std::uint32_t, K>(&stg::AreLimitsDefined), Unlocked());
    m.def(
        name("GetAxisLimits").c_str(),
        [](std::uint32_t stageID, K axis) {
            Position minimum, maximum;
            const int rc = stg::GetAxisLimits(stageID, axis, minimum, maximum);
            return std::make_tuple(rc, minimum, maximum);
        },
        Unlocked());
    m.def(name("SetAxisLimits").c_str(),
          py::overload_cast<std::uint32_t, K, const Position&, const Position&>(&stg::SetAxisLimits), Unlocked());
    // The speed as a length per second (the value's unit is the length).
    m.def(
        name("GetAxisSpeedPerSecond").c_str(),
        [](std::uint32_t stageID, K axis) {
            Position perSecond;
            const int rc = stg::GetAxisSpeed(stageID, axis, perSecond);
            return std::make_pair(rc, perSecond);
        },
        Unlocked());
    m.def(name("SetAxisSpeedPerSecond").c_str(),
          py::overload_cast<std::uint32_t, K, const Position&>(&stg::SetAxisSpeed), Unlocked());
}

// The XY or XYZ vector functions, V the vector type; their names end in `suffix`.
template <class V>
struct tVectorFunctions {
    using Vec = utl::TUnitValue<V>;
    int (*moveTo)(std::uint32_t, const Vec&, bool);
    int (*getPosition)(std::uint32_t, Vec&);
    int (*setAxisLimits)(std::uint32_t, const Vec&, const Vec&);
    int (*getAxisLimits)(std::uint32_t, Vec&, Vec&);
    int (*setCalibration)(std::uint32_t, const Vec&);
    int (*getCalibration)(std::uint32_t, Vec&);
    bool (*isMoving)(std::uint32_t);
    int (*waitForStop)(std::uint32_t, std::uint32_t);
    int (*moveFree)(std::uint32_t, const V&);
    int (*getSpeed)(std::uint32_t, V&);
    int (*setSpeed)(std::uint32_t, const V&);
};

const tVectorFunctions<geo::CdVec2> c_xyFunctions{&stg::MoveToXY,        &stg::GetPositionXY,    &stg::SetAxisLimitsXY,
                                                  &stg::GetAxisLimitsXY, &stg::SetCalibrationXY, &stg::GetCalibrationXY,
                                                  &stg::IsMovingXY,      &stg::WaitForStopXY,    &stg::MoveFreeXY,
                                                  &stg::GetSpeedXY,      &stg::SetSpeedXY};
const tVectorFunctions<geo::CdVec3> c_xyzFunctions{
    &stg::MoveToXYZ,         &stg::GetPositionXYZ,    &stg::SetAxisLimitsXYZ, &stg::GetAxisLimitsXYZ,
    &stg::SetCalibrationXYZ, &stg::GetCalibrationXYZ, &stg::IsMovingXYZ,      &stg::WaitForStopXYZ,
    &stg::MoveFreeXYZ,       &stg::GetSpeedXYZ,       &stg::SetSpeedXYZ};

template <class V>
void BindVectorFunctions(py::module_& m, const std::string& suffix, const tVectorFunctions<V>& f)
{
    using Vec = utl::TUnitValue<V>;
    const auto name = [&](const char* base) { return std::string(base) + suffix; };

    m.def(name("MoveTo").c_str(), [move = f.moveTo](std::uint32_t stageID, const Vec& target, bool wait) {
        return CallInterruptibly(stageID, [=] { return move(stageID, target, wait); });
    });
    m.def(
        name("GetPosition").c_str(),
        [get = f.getPosition](std::uint32_t stageID) {
            Vec position;
            const int rc = get(stageID, position);
            return std::make_pair(rc, position);
        },
        Unlocked());
    m.def(name("SetAxisLimits").c_str(), f.setAxisLimits, Unlocked());
    m.def(
        name("GetAxisLimits").c_str(),
        [get = f.getAxisLimits](std::uint32_t stageID) {
            Vec minimum, maximum;
            const int rc = get(stageID, minimum, maximum);
            return std::make_tuple(rc, minimum, maximum);
        },
        Unlocked());
    m.def(name("SetCalibration").c_str(), f.setCalibration, Unlocked());
    m.def(
        name("GetCalibration").c_str(),
        [get = f.getCalibration](std::uint32_t stageID) {
            Vec calibration;
            const int rc = get(stageID, calibration);
            return std::make_pair(rc, calibration);
        },
        Unlocked());
    m.def(name("IsMoving").c_str(), f.isMoving, Unlocked());
    m.def(name("WaitForStop").c_str(), [wait = f.waitForStop](std::uint32_t stageID, std::uint32_t timeoutMs) {
        return CallInterruptibly(stageID, [=] { return wait(stageID, timeoutMs); });
    });
    m.def(name("MoveFree").c_str(), f.moveFree, Unlocked());
    m.def(name("SetSpeed").c_str(), f.setSpeed, Unlocked());
    m.def(
        name("GetSpeed").c_str(),
        [get = f.getSpeed](std::uint32_t stageID) {
            V speeds;
            const int rc = get(stageID, speeds);
            return std::make_pair(rc, speeds);
        },
        Unlocked());
}

stg::CStageManager& Manager() { return stg::CStageManager::StageManager(); }

// The medium level's range search, which the flat API does not offer. The stage is held for the
// search: a subscriber may retire it meanwhile (its objects go when the search returns).
int InitRanges(std::uint32_t stageID, const std::vector<int>& axes)
{
    const stg::CStageRef stage = Manager().Acquire(stageID);
    return stage ? stage->GetMediumLevel().InitRanges(axes) : stg::c_NoSuchStage;
}

// A value from Python as T; TypeError, naming the property, when it is not one.
template <class T>
T ValueAs(const py::object& value, int propID, const std::string& type)
{
    try {
        return value.cast<T>();
    } catch (const py::cast_error&) {
        throw py::type_error("property " + std::to_string(propID) + " takes a value of type " + type + ", not " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
}

stg::tStageInfo Info(std::uintptr_t module, std::uint32_t stageID)
{
    // The module handle travels through Python as the number the module look-up gave out.
    return stg::tStageInfo{reinterpret_cast<plat::ModuleHandle>(module), stageID}; // NOLINT(performance-no-int-to-ptr)
}

// A position storage is destroyed without the GIL: a valid one moves the stage back.
struct tStorageDeleter {
    void operator()(stg::CPositionStorage* storage) const
    {
        const plinthpy::CReleasedGil released;
        delete storage;
    }
};

} // namespace

PYBIND11_MODULE(_plinth, m)
{
    m.doc() = "The Plinth library as it is: flat API, stage manager, units, result codes, stage events. "
              "Use the package plinth instead.";
    m.attr("__version__") = PLINTH_VERSION;
    plinthpy::CReleasedGil::SetMainThread(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());

    // Result codes, units and event kinds, from the library's own tables.
    m.def("result_codes", [] {
        std::vector<std::tuple<std::string, int, std::string>> codes;
        for (int code = stg::c_OK; code < stg::c_OK + c_resultCodeSpan; ++code)
            if (std::string(stg::ResultCodeName(code)) != "Unknown")
                codes.emplace_back(stg::ResultCodeName(code), code, stg::ResultCodeMeaning(code));
        return codes;
    });
    m.def("result_code_meaning", &stg::ResultCodeMeaning);
    m.def("units", [] {
        std::vector<std::pair<std::string, std::string>> units;
        for (int code = 0; const auto unit = utl::CUnit::FromCode(code); ++code) {
            const auto quantity = unit->GetQuantity();
            units.emplace_back(unit->GetSymbol(), quantity == utl::EQuantity::Length  ? "length"
                                                  : quantity == utl::EQuantity::Angle ? "angle"
                                                                                      : "none");
        }
        return units;
    });
    m.def("unit_symbol", [](const std::string& symbol) -> std::optional<std::string> {
        const auto unit = utl::CUnit::FromSymbol(symbol);
        return unit ? std::optional<std::string>(unit->GetSymbol()) : std::nullopt;
    });
    m.def("convert", [](double value, const std::string& from, const std::string& to) {
        const auto fromUnit = utl::CUnit::FromSymbol(from);
        const auto toUnit = utl::CUnit::FromSymbol(to);
        if (!fromUnit || !toUnit)
            throw py::value_error("unknown unit \"" + (fromUnit ? to : from) + "\"");
        return utl::Convert(value, *fromUnit, *toUnit);
    });
    py::register_exception<utl::CIncompatibleUnitsError>(m, "IncompatibleUnitsError", PyExc_ValueError);
    m.attr("event_kinds") = std::map<std::string, int>{
        {"LIMITS_CHANGED", stg::c_msgLimitsChanged},      {"CALIBRATION_CHANGED", stg::c_msgCalibrationChanged},
        {"USER_CONTROL_ON", stg::c_msgUserControlOn},     {"USER_CONTROL_OFF", stg::c_msgUserControlOff},
        {"INIT_RANGES_BEGIN", stg::c_msgInitRangesBegin}, {"INIT_RANGES_END", stg::c_msgInitRangesEnd},
        {"MOVE_STARTED", stg::c_msgMoveStarted},          {"MOVE_FINISHED", stg::c_msgMoveFinished},
        {"POSITION_SAMPLE", stg::c_msgPositionSample}};
    m.attr("axis_types") = std::map<std::string, int>{
        {"NONE", stg::eAxisNone}, {"X", stg::eAxisX}, {"Y", stg::eAxisY}, {"Z", stg::eAxisZ}};
    m.attr("axis_masks") =
        std::map<std::string, int>{{"x", stg::c_axisMaskX}, {"y", stg::c_axisMaskY}, {"z", stg::c_axisMaskZ}};
    m.attr("ALL_AXES") = static_cast<int>(stg::eAllAxes);
    m.attr("GIVEN_AXES") = static_cast<int>(stg::eGivenAxes);

    // Driver modules and the stage manager. A module, once loaded, stays loaded for the life of
    // the process: a stage may be left registered at exit, and its driver's code must stay.
    m.def("library_path", [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&stg::CheckError), &info) == 0 || !info.dli_fname)
            return std::string();
        return std::string(info.dli_fname);
    });
    // Driver names resolve through the library's registry, as in the `plinth` command.
    m.def("driver_folders", [] { return stg::DriverFolders(); });
    m.def("find_driver_module", [](const std::string& nameOrPath) {
        std::string why;
        std::string path = stg::FindDriverModule(nameOrPath, "", why);
        return std::make_pair(path, why);
    });
    // Which driver a stage was opened with, kept in its settings for `plinth serve`.
    m.def("remember_driver", [](std::uint32_t stageID, const std::string& modulePath) {
        stg::RememberDriver(stageID, stg::DriverNameOf(modulePath));
    });
    m.def("load_module", [](const std::string& path) {
        const plat::ModuleHandle module = plat::LoadModule(path);
        if (!module)
            throw py::import_error("cannot load driver module " + path + ": " + plat::LastModuleError());
        return reinterpret_cast<std::uintptr_t>(module);
    });
    m.def(
        "RegisterStage",
        [](std::uintptr_t module, std::uint32_t id) { return Manager().RegisterStage(Info(module, id)); }, Unlocked());
    m.def(
        "ActivateStage",
        [](std::uintptr_t module, std::uint32_t id) { return Manager().ActivateStage(Info(module, id)); }, Unlocked());
    m.def(
        "DeactivateStage",
        [](std::uintptr_t module, std::uint32_t id) { return Manager().DeactivateStage(Info(module, id)); },
        Unlocked());
    m.def(
        "UnregisterStage",
        [](std::uintptr_t module, std::uint32_t id) { return Manager().UnregisterStage(Info(module, id)); },
        Unlocked());
    m.def(
        "IsActiveStage", [](std::uint32_t id) { return Manager().IsActiveStage(id); }, Unlocked());
    m.def(
        "IsRegisteredStage", [](std::uint32_t id) { return Manager().GetLowLevel(id) != nullptr; }, Unlocked());
    m.def("GetRegisterFailure", &stg::CStageManager::GetRegisterFailure);
    m.def("InitRanges", [](std::uint32_t stageID, const std::vector<int>& axes) {
        return CallInterruptibly(stageID, [=] { return InitRanges(stageID, axes); });
    });
    m.def("FlushSettings", &cfg::Flush, Unlocked());

    // Stage queries and switches.
    m.def("CheckConnection", &stg::CheckConnection, Unlocked());
    m.def("GetAxisCount", &stg::GetAxisCount, Unlocked());
    m.def("GetAxisType", &stg::GetAxisType, Unlocked());
    m.def("GetAxisFromType", &stg::GetAxisFromType, Unlocked());
    m.def("GetAxisList", &stg::GetAxisList, Unlocked());
    m.def("AreLimitsDefinedAll", py::overload_cast<std::uint32_t>(&stg::AreLimitsDefined), Unlocked());
    m.def("EnablePrecision", &stg::EnablePrecision, Unlocked());
    m.def("IsPrecisionEnabled", &stg::IsPrecisionEnabled, Unlocked());
    m.def("EnableUserControl", &stg::EnableUserControl, Unlocked());
    m.def("IsUserControlEnabled", &stg::IsUserControlEnabled, Unlocked());
    m.def("StopMoving", &stg::StopMoving, Unlocked());
    m.def("GetLastEmulatedMoveResult", &stg::GetLastEmulatedMoveResult, Unlocked());
    m.def("IsAxisEnabled", py::overload_cast<std::uint32_t, int>(&stg::IsAxisEnabled), Unlocked());
    m.def("EnableAxis", py::overload_cast<std::uint32_t, int, bool>(&stg::EnableAxis), Unlocked());
    BindAxisFunctions<int>(m, "");
    BindAxisFunctions<stg::EAxisType>(m, "ByType");
    BindVectorFunctions(m, "XY", c_xyFunctions);
    BindVectorFunctions(m, "XYZ", c_xyzFunctions);

    // Typed properties: `value_type` is int, int64, double, bool, text or quantity; `axis` None
    // addresses the stage, otherwise an axis number (or an axis type with by_type).
    m.def(
        "GetProperty",
        [](std::uint32_t stageID, int propID, const std::string& type, std::optional<int> axis, bool byType) {
            const tPropertyTarget target{stageID, axis, byType};
            return WithValueType(type, [&](auto value) {
                int rc = 0;
                {
                    const plinthpy::CReleasedGil released;
                    rc = ReadProperty(target, propID, value);
                }
                return std::make_pair(rc, rc == stg::c_OK ? py::cast(value) : py::object(py::none()));
            });
        },
        py::arg("stage_id"), py::arg("prop_id"), py::arg("value_type"), py::arg("axis") = py::none(),
        py::arg("by_type") = false);
    m.def(
        "SetProperty",
        [](std::uint32_t stageID, int propID, const std::string& type, py::object value, std::optional<int> axis,
           bool byType) {
            const tPropertyTarget target{stageID, axis, byType};
            return WithValueType(type, [&](auto typed) {
                typed = ValueAs<decltype(typed)>(value, propID, type);
                const plinthpy::CReleasedGil released;
                return WriteProperty(target, propID, typed);
            });
        },
        py::arg("stage_id"), py::arg("prop_id"), py::arg("value_type"), py::arg("value"), py::arg("axis") = py::none(),
        py::arg("by_type") = false);
    // A setting of a registered stage's driver, written before activation (its Init reads it).
    m.def("SetDriverSetting", [](std::uint32_t stageID, int propID, const std::string& type, py::object value) {
        return WithValueType(type, [&](auto typed) {
            typed = ValueAs<decltype(typed)>(value, propID, type);
            const plinthpy::CReleasedGil released;
            // Only the thread that registered the stage knows it before activation, and nothing
            // else retires it meanwhile: the plain pointer is safe here.
            stg::CLowLevelStage* stage = stg::CStageManager::StageManager().GetLowLevel(stageID);
            if (!stage)
                return stg::c_NoSuchStage;
            stg::WriteStageProperty(*stage, propID, typed);
            return stg::c_OK;
        });
    });
    // A property's registration, by name or ID: (name, ID, value type, level ("stage", "axis" or
    // ""), unit, description, what it allows as text ("" when it declares nothing)).
    const auto describe = [](const utl::tPropertyInfo& info) {
        const char* level = info.scope == utl::EPropertyScope::Stage  ? "stage"
                            : info.scope == utl::EPropertyScope::Axis ? "axis"
                                                                      : "";
        return py::make_tuple(info.name, info.id, ValueTypeName(info.type, false), level, info.unit, info.description,
                              utl::DeclaredValuesText(info));
    };
    m.def("FindProperty", [describe](const std::variant<int, std::wstring>& key) -> std::optional<py::tuple> {
        const auto info = std::holds_alternative<int>(key) ? utl::FindProperty(std::get<int>(key))
                                                           : utl::FindProperty(std::get<std::wstring>(key));
        if (!info)
            return std::nullopt;
        return describe(*info);
    });
    // Every registration, in the order of registration (as FindProperty describes each).
    m.def("RegisteredProperties", [describe] {
        py::list all;
        for (const auto& info : utl::RegisteredProperties())
            all.append(describe(info));
        return all;
    });
    // The value type of what a stage or axis property holds now: (code, type name).
    m.def(
        "StoredValueType",
        [](std::uint32_t stageID, int propID, std::optional<int> axis, bool byType) {
            const plinthpy::CReleasedGil released;
            const stg::CStageRef access = Manager().Acquire(stageID);
            if (!access)
                return std::make_pair(stg::c_NoSuchStage, std::string());
            const stg::CLowLevelStage& stage = access->GetMediumLevel().GetLowLevel();
            mem::CBin stored;
            int rc = stg::c_OK;
            if (!axis)
                rc = stage.GetPropertyVessel(propID, stored);
            else
                rc = stage.GetPropertyVessel(
                    byType ? access->GetAxisFromType(static_cast<stg::EAxisType>(*axis)) : *axis, propID, stored);
            return std::make_pair(rc, std::string(ValueTypeName(stored.GetTypeCode(), stored.HasUnit())));
        },
        py::arg("stage_id"), py::arg("prop_id"), py::arg("axis") = py::none(), py::arg("by_type") = false);

    // Z escape and position storage.
    m.def("EscapeZ", [](std::uint32_t stageID, bool escape) {
        return CallInterruptibly(stageID, [=] { return stg::EscapeZ(stageID, escape); });
    });
    m.def("IsEscapedZ", &stg::IsEscapedZ, Unlocked());
    m.def("IsEscapeEnabled", &stg::IsEscapeEnabled, Unlocked());
    m.def("ResetEscapeCounter", &stg::ResetEscapeCounter, Unlocked());
    py::class_<stg::CPositionStorage, std::unique_ptr<stg::CPositionStorage, tStorageDeleter>>(m, "PositionStorage")
        .def(py::init<std::uint32_t, int>(), py::arg("stage_id"), py::arg("axis_mask"), Unlocked())
        .def("IsValid", &stg::CPositionStorage::IsValid)
        // Python owns the storage: an interrupted restore is waited for after the stop.
        .def(
            "Restore",
            [](stg::CPositionStorage& storage, std::uint32_t stageID) {
                return CallInterruptibly(
                    stageID, [&storage] { return storage.Restore(); }, true);
            },
            py::arg("stage_id"));

    // Stage events.
    py::class_<plinthpy::CPySubscription>(m, "Subscription")
        .def(py::init<py::function, std::int64_t, bool>(), py::arg("callback"), py::arg("stage_id") = -1,
             py::arg("details") = false)
        .def("close", &plinthpy::CPySubscription::Close)
        .def_property_readonly("open", &plinthpy::CPySubscription::IsOpen);
    // At interpreter exit, before finalisation: no event reaches Python afterwards.
    m.def("close_all_subscriptions", &plinthpy::CPySubscription::CloseAll);
}
