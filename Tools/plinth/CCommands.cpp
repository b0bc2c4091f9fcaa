#include "CCommands.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <sys/select.h>
#include <unistd.h>

#include <readline/history.h>
#include <readline/readline.h>

#include <cfg/GlobalPropSets.h>
#include <utl/CUnit.h>
#include <utl/PropertyRegistry.h>

#include "CStopOnSignal.h"
#include "ConfigCommand.h"
#include "Interrupts.h"
#include "PropertyText.h"
#include "Quantity.h"
#include "ShellCompletion.h"

namespace plinthcli {
namespace {

using Position = utl::TUnitValue<double>;

// How long a move that ended may take to report standstill before the command gives up waiting.
constexpr std::uint32_t c_stopWaitMs = 10000;
// How long a stage stopped by a signal may take to report standstill before the command ends
// without it (saying so): a stage that does not answer must not keep Ctrl-C from ending the command.
constexpr std::uint32_t c_standstillWaitMs = 3000;

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1))
        throw CCommandError("not valid text: \"" + text + "\"");
    wide.resize(length);
    return wide;
}

std::string Narrow(const std::wstring& text);

// The ID under which the stage's driver keeps its own setting `name` (registered by the driver,
// stored with `type`, present in the stage's set); `option` and a one-line reason when the driver
// has no such setting. The command knows driver settings only by name.
int DriverSettingID(const stg::CLowLevelStage& stage, const wchar_t* name, int type, const std::string& option)
{
    const auto info = utl::FindProperty(name);
    mem::CBin stored;
    if (!info || info->type != type || stage.GetPropertyVessel(info->id, stored) != stg::c_OK)
        throw CCommandError(option + ": the driver of stage " + std::to_string(stage.GetStageID()) +
                            " has no setting " + Narrow(name));
    return info->id;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow(text.size() * MB_CUR_MAX + 1, '\0');
    const std::size_t length = std::wcstombs(narrow.data(), text.c_str(), narrow.size());
    if (length == static_cast<std::size_t>(-1))
        return "?";
    narrow.resize(length);
    return narrow;
}

const char* TypeName(stg::EAxisType type)
{
    switch (type) {
    case stg::eAxisX:
        return "X";
    case stg::eAxisY:
        return "Y";
    case stg::eAxisZ:
        return "Z";
    default:
        return "-";
    }
}

// The position of an axis whose limits are not defined yet, which the library does not answer
// (it is no reference for a move): the driver's ticks, converted as the stage access converts
// them (direction, offset, calibration).
int UnhomedPosition(std::uint32_t stageID, int axis, Position& position)
{
    stg::CLowLevelStage* stage = stg::CStageManager::StageManager().GetLowLevel(stageID);
    if (!stage)
        return stg::c_NoSuchStage;
    stg::CLowLevelStage::TickMap ticks{{axis, 0}};
    Position calibration;
    int rc = stage->GetPosition(ticks, stg::eGivenAxes);
    if (rc == stg::c_OK)
        rc = stg::GetCalibration(stageID, axis, calibration);
    if (rc != stg::c_OK)
        return rc;
    std::int64_t tick = ticks[axis];
    bool inverted = false;
    std::int64_t offset = 0;
    if (stg::GetProperty(stageID, axis, stg::c_propAxisInverted, inverted) == stg::c_OK && inverted &&
        __builtin_sub_overflow(std::int64_t{0}, tick, &tick))
        return stg::c_InvalidValue;
    if (stg::GetProperty(stageID, axis, stg::c_propOffsetPosition, offset) == stg::c_OK &&
        __builtin_add_overflow(tick, offset, &tick))
        return stg::c_InvalidValue;
    position = Position(static_cast<double>(tick) * calibration.GetValue(), calibration.GetUnit());
    return stg::c_OK;
}

std::string AxisLabel(std::uint32_t stageID, int axis)
{
    return std::string(TypeName(stg::GetAxisType(stageID, axis))) + " (axis " + std::to_string(axis) + ")";
}

// The axis's speed as a length per second ("5.000 mm/s"), or in the driver's unit when its
// calibration does not convert ("50000 (driver units; the axis has no calibration)").
std::string SpeedText(std::uint32_t stageID, int axis)
{
    Position perSecond;
    if (stg::GetAxisSpeed(stageID, axis, perSecond) == stg::c_OK)
        return FormatReadable(perSecond) + "/s";
    double speed = 0.0;
    if (stg::GetAxisSpeed(stageID, axis, speed) != stg::c_OK)
        return "unknown";
    std::ostringstream out;
    out << speed << " (driver units; the axis has no calibration)";
    return out.str();
}

// Why the axis refused `perSecond` (c_InvalidValue), in the command's words.
std::string SpeedRefusal(std::uint32_t stageID, int axis, const Position& perSecond)
{
    Position calibration;
    const std::string label = AxisLabel(stageID, axis);
    if (stg::GetCalibration(stageID, axis, calibration) != stg::c_OK || calibration.GetUnit().IsNull() ||
        !(calibration.GetValue() > 0.0))
        return label + " has no calibration to convert " + FormatReadable(perSecond) +
               "/s (set one: plinth calib AXIS=LENGTH, or give the speed in driver units)";
    if (!perSecond.GetUnit().IsCompatible(calibration.GetUnit()))
        return label + " takes speeds in " + calibration.GetUnit().GetSymbol() +
               "/s (or another unit of its kind), not " + perSecond.GetUnit().GetSymbol() + "/s";
    return FormatReadable(perSecond) + "/s is no speed of " + label + ", " + DescribeCode(stg::c_InvalidValue);
}

} // namespace

void CCommands::Add(CLI::App& app, bool inShell)
{
    const auto command = [&](const char* name, const char* description, const std::function<void()>& run) {
        CLI::App* sub = app.add_subcommand(name, description);
        sub->callback([this, run] { m_chosen = run; });
        return sub;
    };
    command("info", "Show the stage: driver module, axes, switches", [this] { Info(); });
    command("axes", "Show every axis with its type, calibration, limits, speed and position", [this] { Axes(); });
    command("pos", "Show the positions of all axes", [this] { Pos(); });
    auto* move = command("move", "Move axes to positions, e.g. move X=12.5um Y=1mm", [this] { Move(m_move); });
    move->add_option("targets", m_move.targets, "AXIS=POSITION, AXIS being X, Y, Z or an axis number")->required();
    move->add_flag("--no-wait", m_move.noWait, "Start the move and return at once");
    auto* free = command("free", "Run axes freely until stopped, e.g. free X=1 Y=-1", [this] { Free(m_free); });
    free->add_option("speeds", m_free.assignments, "AXIS=SPEED; the sign gives the direction")->required();
    command("stop", "Stop all axes", [this] { Stop(); });
    auto* limits =
        command("limits", "Show or set the axis limits, e.g. limits X=-10mm:10mm", [this] { Limits(m_limits); });
    limits->add_option("limits", m_limits.items, "AXIS=MIN:MAX to set; with --init or --clear: the axes (default all)");
    limits->add_flag("--init", m_limits.init, "Search the hardware end switches and take them as limits");
    limits->add_flag("--clear", m_limits.clear, "Forget the limits");
    auto* calib = command("calib", "Show or set the calibration (length of one tick), e.g. calib X=0.1um",
                          [this] { Calib(m_calib); });
    calib->add_option("calibrations", m_calib.assignments, "AXIS=LENGTH to set");
    auto* speed = command("speed", "Show or set the axis speeds, e.g. speed X=5mm/s", [this] { Speed(m_speed); });
    speed->add_option("speeds", m_speed.assignments,
                      "AXIS=SPEED to set: a length per second (5mm/s), or a bare number in the driver's unit");
    auto* prop =
        command("prop", "Read or write a stage or axis property, e.g. prop get X Speed", [this] { Prop(m_prop); });
    prop->add_option("action", m_prop.action, "get, set, or list (every setting of the target)")
        ->required()
        ->check(CLI::IsMember({"get", "set", "list"}));
    prop->add_option("target", m_prop.target, "stage, or an axis (X, Y, Z or a number); list: default stage");
    prop->add_option("name", m_prop.name, "Property name (e.g. Speed) or ID");
    prop->add_option("value", m_prop.value, "Value to set (positions and lengths with their unit)");
    prop->add_option("--type", m_prop.type, "Value type of an unregistered ID")
        ->check(CLI::IsMember({"int", "int64", "double", "bool", "quantity", "text"}));
    command("escape", "Move Z out of the way (nested escapes are counted)", [this] { Escape(true); });
    command("return", "Bring Z back from an escape", [this] { Escape(false); });
    auto* watch = command("watch", "Print events and positions until interrupted (Ctrl-C)", [this] { Watch(m_watch); });
    watch->add_option("--interval", m_watch.intervalMs, "Milliseconds between position lines (20 to 60000)")
        ->capture_default_str();
    if (!inShell) {
        command("shell", "Interactive prompt that keeps the stage active between commands", [this] { Shell(); });
        command("demo", "Demonstration on the simulated stage", [this] { Demo(); });
        command("drivers", "List the drivers known by short name (for --module) and where they are found",
                [this] { ListDrivers(); });
        // Not in the shell: the stage it holds would write its settings back when the shell ends.
        auto* config =
            command("config", "Show where the settings are stored; config reset STAGE forgets a stage's", [this] {
                if (m_config.action.empty())
                    ShowConfig();
                else
                    ResetStageSettings(m_config.stage, m_config.yes);
            });
        config->add_option("action", m_config.action, "reset: forget the stored settings of one stage")
            ->check(CLI::IsMember({"reset"}));
        config->add_option("stage", m_config.stage, "The stage ID to reset");
        config->add_flag("--yes", m_config.yes, "Reset without asking");
    }
}

void CCommands::RunChosen()
{
    if (!m_chosen)
        return;
    const auto chosen = std::move(m_chosen);
    m_chosen = nullptr;
    try {
        chosen();
    } catch (const CCommandError&) {
        // A call that a signal stopped answers c_Stopped: the command was interrupted, not failed.
        if (const int signal = interrupts::Pending())
            throw CInterrupted{signal};
        throw;
    }
    // A signal during a command that blocks in the library (a range search, a Z escape) is
    // answered when the command returns: it ran to its end, the stage stands.
    if (const int signal = interrupts::Pending())
        throw CInterrupted{signal};
}

bool CCommands::StopOpenStage()
{
    if (!m_session)
        return false;
    stg::StopMoving(m_session->ID());
    if (stg::WaitForStop(m_session->ID(), stg::GetAxisList(m_session->ID()), c_standstillWaitMs) != stg::c_OK) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "plinth: stage %u did not report standstill within %u s after the stop; it may still "
                     "be moving\n",
                     m_session->ID(), c_standstillWaitMs / 1000);
    }
    return true;
}

void CCommands::Close()
{
    if (!m_session)
        return;
    m_session.reset(); // unregisters the stage, which stores the last position
    // Settings are written as they change; what is still unwritten goes now. A process that keeps
    // its settings in memory because the file could not be used has saved nothing it changed.
    const bool written = cfg::Flush();
    const std::string error = cfg::LastError();
    if (!written || (m_changesSettings && !error.empty()))
        throw CCommandError("the changed settings could not be saved: " + error);
}

std::uint32_t CCommands::StageID() const
{
    if (m_target.stageID != 0)
        return m_target.stageID;
    return stg::DefaultStageID(m_target.modulePath);
}

void CCommands::WriteDriverSettings(stg::CLowLevelStage& stage)
{
    // The serial drivers' own names of their port and baud settings; the one the stage has is used.
    const auto serialSetting = [&](const wchar_t* zaber, const wchar_t* asi, int type, const std::string& option) {
        const auto info = utl::FindProperty(asi);
        mem::CBin stored;
        if (info && info->type == type && stage.GetPropertyVessel(info->id, stored) == stg::c_OK)
            return info->id;
        try {
            return DriverSettingID(stage, zaber, type, option);
        } catch (const CCommandError& error) {
            throw CCommandError(error.what() + std::string(" or ") + Narrow(asi));
        }
    };
    if (!m_target.port.empty()) {
        const int portID = serialSetting(L"ZaberPort", L"AsiPort", mem::c_tWString, "--port");
        std::wstring previous;
        stg::ReadStageProperty(stage, portID, previous); // "" when none was stored
        m_previousPort = {portID, previous};
        stg::WriteStageProperty(stage, portID, Widen(m_target.port));
    }
    if (m_target.baud > 0)
        stg::WriteStageProperty(stage, serialSetting(L"ZaberBaud", L"AsiBaud", mem::c_tInt, "--baud"),
                                std::int32_t{m_target.baud});
}

std::string CCommands::ModuleFile() const
{
    std::string why;
    std::string file = stg::FindDriverModule(m_target.modulePath, m_target.driverFolder, why);
    if (file.empty())
        throw CCommandError("--module: " + why);
    return file;
}

void CCommands::ListDrivers() const
{
    for (const auto& driver : stg::KnownDrivers()) {
        std::string why;
        const std::string file = stg::FindDriverModule(driver.name, m_target.driverFolder, why);
        std::printf("%-6s %s\n       %s\n", driver.name, driver.description,
                    file.empty() ? "not installed" : file.c_str());
    }
    std::printf("A driver of another name is libplinth_NAME.so in a driver folder; a module file is named by a "
                "path with a slash (--module ./mystage.so).\n");
}

CStageSession& CCommands::Session(bool failedStartIsFine)
{
    if (!m_session) {
        m_target.stageID = StageID();
        try {
            m_session =
                std::make_unique<CStageSession>(ModuleFile(), m_target.stageID, true,
                                                [this](stg::CLowLevelStage& stage) { WriteDriverSettings(stage); });
        } catch (const std::runtime_error& error) {
            throw CCommandError(error.what());
        }
        // A stage is activated even when its driver fails to start; one that found no axis and
        // says why is of no use to any command. A port given with --port that led nowhere is not
        // remembered: the next invocation tries the port that was stored before.
        const std::string said = DriverMessage(m_target.stageID);
        if (m_previousPort && stg::GetAxisCount(m_target.stageID) == 0)
            stg::SetProperty(m_target.stageID, m_previousPort->first, m_previousPort->second);
        m_previousPort.reset();
        if (!failedStartIsFine && stg::GetAxisCount(m_target.stageID) == 0 && !said.empty()) {
            m_session.reset();
            throw CCommandError("the driver of stage " + std::to_string(m_target.stageID) +
                                " could not start: " + said);
        }
        if (m_target.timeScale > 0.0) {
            const stg::CLowLevelStage* stage = stg::CStageManager::StageManager().GetLowLevel(m_target.stageID);
            if (!stage)
                CheckCode("setting the time scale", stg::c_NoSuchStage);
            const int id = DriverSettingID(*stage, L"SimTimeScale", mem::c_tDouble, "--time-scale");
            ChangesSettings();
            CheckCode("setting the time scale", stg::SetProperty(m_target.stageID, id, m_target.timeScale));
        }
    }
    return *m_session;
}

void CCommands::CheckCode(const std::string& what, int code) const
{
    if (code == stg::c_OK)
        return;
    // A driver that keeps a message says what the hardware complained about.
    const std::string said = m_session ? DriverMessage(m_session->ID()) : "";
    const std::string detail = said.empty() ? "" : " [" + said + "]";
    // What to do next, in the command's words.
    const char* hint = code == stg::c_LimitsNotDefined
                           ? " (run plinth limits --init, or set them: plinth limits X=MIN:MAX)"
                       : code == stg::c_TargetOutOfRange ? " (plinth limits shows them)"
                       : code == stg::c_AxisDisabled     ? " (enable it: plinth prop set AXIS AxisEnabled true)"
                       : code == stg::c_NoSuchStage      ? " (the driver did not start: plinth info says why)"
                                                         : "";
    throw CCommandError(what + ": " + DescribeCode(code) + hint + detail);
}

int CCommands::Axis(const tAxisKey& key)
{
    const std::uint32_t id = Session().ID();
    int axis = key.number;
    if (key.letter == 'X')
        axis = stg::GetAxisFromType(id, stg::eAxisX);
    else if (key.letter == 'Y')
        axis = stg::GetAxisFromType(id, stg::eAxisY);
    else if (key.letter == 'Z')
        axis = stg::GetAxisFromType(id, stg::eAxisZ);
    const auto axes = stg::GetAxisList(id);
    if (std::find(axes.begin(), axes.end(), axis) == axes.end()) {
        const std::string said = DriverMessage(id);
        throw CCommandError("stage " + std::to_string(id) + " has no axis " + key.text +
                            (said.empty() ? "" : " [" + said + "]"));
    }
    return axis;
}

void CCommands::Info()
{
    const std::uint32_t id = Session(true).ID();
    std::printf("stage %u, driver %s\n", id, Session().ModulePath().c_str());
    std::printf("  connected: %s, axes: %d\n", stg::CheckConnection(id) ? "yes" : "no", stg::GetAxisCount(id));
    const std::string said = DriverMessage(id);
    if (!said.empty())
        std::printf("  driver says: %s\n", said.c_str());
    for (int axis : stg::GetAxisList(id))
        std::printf("  %s%s\n", AxisLabel(id, axis).c_str(), stg::IsAxisEnabled(id, axis) ? "" : " (disabled)");
    std::printf("  limits defined: %s, precision mode: %s, user control: %s\n",
                stg::AreLimitsDefined(id) ? "yes" : "no", stg::IsPrecisionEnabled(id) ? "on" : "off",
                stg::IsUserControlEnabled(id) ? "on" : "off");
    std::printf("  Z escape: %s%s\n", stg::IsEscapeEnabled(id) ? "allowed" : "not allowed",
                stg::IsEscapedZ(id) ? ", escaped" : "");
    if (stg::GetAxisCount(id) == 0)
        throw CCommandError("the driver of stage " + std::to_string(id) + " found no device" +
                            (said.empty() ? "" : ": " + said));
}

namespace {

// Where a driver says an axis's calibration came from: a text axis setting whose name ends in
// "CalibrationSource" (e.g. the Zaber driver's "table", "user" or "none"), as " (from ...)"; ""
// when the driver has no such setting.
std::string CalibrationSource(std::uint32_t stageID, int axis)
{
    static const std::wstring suffix = L"CalibrationSource";
    for (const auto& registered : utl::RegisteredProperties()) {
        const std::wstring& name = registered.name;
        if (registered.type != mem::c_tWString || name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::wstring source;
        if (stg::GetProperty(stageID, axis, registered.id, source) == stg::c_OK && !source.empty())
            return " (from " + Narrow(source) + ")";
    }
    return "";
}

} // namespace

void CCommands::Axes()
{
    const std::uint32_t id = Session().ID();
    for (int axis : stg::GetAxisList(id)) {
        Position calibration, position, minimum, maximum;
        std::printf("%s%s\n", AxisLabel(id, axis).c_str(), stg::IsAxisEnabled(id, axis) ? "" : " (disabled)");
        if (stg::GetCalibration(id, axis, calibration) == stg::c_OK)
            std::printf("  calibration %s per tick%s\n", FormatQuantity(calibration, 4).c_str(),
                        CalibrationSource(id, axis).c_str());
        if (stg::GetPosition(id, axis, position) == stg::c_OK)
            std::printf("  position    %s\n", FormatQuantity(position).c_str());
        if (stg::GetAxisLimits(id, axis, minimum, maximum) == stg::c_OK)
            std::printf("  limits      %s .. %s\n", FormatQuantity(minimum).c_str(), FormatQuantity(maximum).c_str());
        else
            std::printf("  limits      not defined\n");
        std::printf("  speed       %s\n", SpeedText(id, axis).c_str());
    }
}

void CCommands::Pos()
{
    // Axis by axis, so that one axis that cannot answer does not hide the others. A disabled axis
    // has no position to show (reading it answers c_AxisDisabled) and is not a failure.
    const std::uint32_t id = Session().ID();
    int firstFailure = stg::c_OK;
    for (int axis : stg::GetAxisList(id)) {
        if (!stg::IsAxisEnabled(id, axis)) {
            std::printf("%s: disabled\n", AxisLabel(id, axis).c_str());
            continue;
        }
        Position position;
        const int rc = stg::GetPosition(id, axis, position);
        if (rc == stg::c_OK)
            std::printf("%s: %s\n", AxisLabel(id, axis).c_str(), FormatQuantity(position).c_str());
        else if (rc == stg::c_LimitsNotDefined && UnhomedPosition(id, axis, position) == stg::c_OK)
            std::printf("%s: %s (not homed: no limits yet, run plinth limits --init)\n", AxisLabel(id, axis).c_str(),
                        FormatQuantity(position).c_str());
        else if (firstFailure == stg::c_OK)
            firstFailure = rc;
    }
    CheckCode("reading the positions", firstFailure);
}

void CCommands::Move(const tMoveArgs& args)
{
    std::vector<tAxisQuantity> parsed;
    for (const auto& text : args.targets)
        parsed.push_back(ParseAxisQuantity(text));
    if (parsed.empty())
        throw CCommandError("move: no target given (write for example move X=12.5um)");
    const std::uint32_t id = Session().ID();
    const CStopOnSignal stopOnSignal(id);
    std::map<int, Position> targets;
    for (const auto& target : parsed)
        targets[Axis(target.axis)] = target.value;
    // Started and watched rather than blocking, so that Ctrl-C can stop it. In precision mode the
    // blocking move corrects the whole X/Y/Z position; the started one is given it whole likewise.
    std::map<int, Position> request = targets;
    if (!args.noWait && stg::IsPrecisionEnabled(id)) {
        std::map<int, Position> current;
        CheckCode("reading the positions", stg::GetPosition(id, current, stg::eAllAxes));
        request.insert(current.begin(), current.end()); // keeps the targets
    }
    int started = stg::c_OK;
    try {
        started = stg::MoveTo(id, request, false);
    } catch (const utl::CIncompatibleUnitsError& error) {
        // The stage access converts each target into its axis's unit: name the axis and that unit.
        for (const auto& target : parsed) {
            const utl::CUnit& given = target.value.GetUnit();
            if (given == error.From() || given == error.To()) {
                const utl::CUnit& axisUnit = given == error.From() ? error.To() : error.From();
                throw CCommandError("move: " + AxisLabel(id, Axis(target.axis)) + " takes positions in " +
                                    axisUnit.GetSymbol() + " (or another unit of its kind), not " + given.GetSymbol());
            }
        }
        throw;
    }
    if (started == stg::c_TargetOutOfRange || started == stg::c_LimitsNotDefined || started == stg::c_AxisDisabled)
        ExplainRefusedMove(targets, started);
    CheckCode("move", started);
    std::vector<int> axes; // every axis the move may drive
    axes.reserve(request.size());
    for (const auto& entry : request)
        axes.push_back(entry.first);
    if (args.noWait) {
        std::printf("move started\n");
        return;
    }
    std::printf("moving; Ctrl-C stops\n");
    ShowPositionsWhileMoving(axes);
    CheckCode("move", stg::WaitForStop(id, axes, c_stopWaitMs));
    for (const auto& entry : targets) {
        Position position;
        CheckCode("reading the position", stg::GetPosition(id, entry.first, position));
        std::printf("%s: %s\n", AxisLabel(id, entry.first).c_str(), FormatQuantity(position).c_str());
    }
}

void CCommands::ExplainRefusedMove(const std::map<int, Position>& targets, int code, bool withTargets)
{
    const std::uint32_t id = Session().ID();
    for (const auto& [axis, target] : targets) {
        const std::string axisName = TypeName(stg::GetAxisType(id, axis));
        const std::string label = axisName == "-" ? "axis " + std::to_string(axis) : axisName;
        if (!stg::IsAxisEnabled(id, axis))
            throw CCommandError(label + ": the axis is disabled, " + DescribeCode(stg::c_AxisDisabled) +
                                " (enable it: plinth prop set " + label + " AxisEnabled true)");
        Position minimum, maximum;
        const int rc = stg::GetAxisLimits(id, axis, minimum, maximum);
        if (rc == stg::c_LimitsNotDefined)
            throw CCommandError(label + ": not homed, " + DescribeCode(rc) + " (run plinth limits --init)");
        bool outside = false;
        try {
            outside = rc == stg::c_OK && withTargets && (target < minimum || target > maximum);
        } catch (const std::exception&) {
            outside = true; // a unit that is no length for this axis lies on no scale of it
        }
        if (outside)
            throw CCommandError(label + ": " + FormatReadable(target) + " lies outside the limits " +
                                FormatReadable(minimum) + " .. " + FormatReadable(maximum) + ", " +
                                DescribeCode(stg::c_TargetOutOfRange) + " (plinth limits shows them)");
    }
    (void)code; // no target explains it: the general message follows
}

void CCommands::Free(const tAssignArgs& args)
{
    std::vector<tAxisNumber> parsed;
    for (const auto& text : args.assignments)
        parsed.push_back(ParseAxisNumber(text));
    if (parsed.empty())
        throw CCommandError("free: no speed given (write for example free X=1)");
    std::map<int, double> speeds;
    for (const auto& speed : parsed)
        speeds[Axis(speed.axis)] = speed.value;
    const int rc = stg::MoveFree(Session().ID(), speeds);
    if (rc == stg::c_LimitsNotDefined || rc == stg::c_AxisDisabled) {
        std::map<int, Position> axes;
        for (const auto& entry : speeds)
            axes[entry.first] = Position();
        ExplainRefusedMove(axes, rc, false);
    }
    CheckCode("free run", rc);
    std::printf("running; stop with: plinth stop\n");
}

void CCommands::Stop() { CheckCode("stop", stg::StopMoving(Session().ID())); }

namespace {

// While a range search runs on the calling thread, a line on the terminal that names the axes
// searched and counts the seconds, redrawn by a thread of its own. The search is one blocking
// call that holds the stage lock throughout, so the axes' positions cannot be read meanwhile;
// the events before and after it are printed by the session. Nothing is drawn when stdout is no
// terminal. The destructor ends the thread and clears the line.
class CSearchProgress {
public:
    CSearchProgress(std::uint32_t stageID, const std::vector<int>& axes)
    {
        if (!isatty(STDOUT_FILENO))
            return;
        for (int axis : axes)
            m_axes += (m_axes.empty() ? "" : ", ") + std::string(TypeName(stg::GetAxisType(stageID, axis)));
        m_thread = std::thread([this] { Run(); });
    }
    ~CSearchProgress()
    {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
        std::printf("\r\033[K");
        std::fflush(stdout);
    }
    CSearchProgress(const CSearchProgress&) = delete;
    CSearchProgress& operator=(const CSearchProgress&) = delete;

private:
    void Run()
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_done; })) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            std::printf("\r\033[K  searching %s: %.1f s", m_axes.c_str(), elapsed.count());
            std::fflush(stdout);
        }
    }

    std::string m_axes;
    std::mutex m_mutex; // guards m_done
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

void CCommands::Limits(const tLimitsArgs& args)
{
    std::vector<tAxisKey> keys;
    std::vector<tAxisRange> ranges;
    for (const auto& text : args.items) {
        if (args.init || args.clear)
            keys.push_back(ParseAxisKey(text));
        else
            ranges.push_back(ParseAxisRange(text));
    }
    const std::uint32_t id = Session().ID();
    std::vector<int> axes;
    if (args.init || args.clear) {
        ChangesSettings();
        for (const auto& key : keys)
            axes.push_back(Axis(key));
        if (axes.empty())
            axes = stg::GetAxisList(id);
    }
    if (args.init) {
        auto* medium = stg::CStageManager::StageManager().GetMediumLevel(id);
        const CStopOnSignal stopOnSignal(id);
        std::printf("searching the end switches; Ctrl-C stops\n");
        std::fflush(stdout);
        int rc = stg::c_OK;
        {
            const CSearchProgress progress(id, axes);
            rc = medium->InitRanges(axes);
        }
        CheckCode("range search", rc);
    } else if (args.clear) {
        CheckCode("forgetting the limits", stg::UndefineLimits(id, axes));
    } else {
        for (const auto& range : ranges) {
            ChangesSettings();
            CheckCode("setting the limits of " + range.axis.text,
                      stg::SetAxisLimits(id, Axis(range.axis), range.minimum, range.maximum));
        }
    }
    for (int axis : stg::GetAxisList(id)) {
        Position minimum, maximum;
        if (stg::GetAxisLimits(id, axis, minimum, maximum) == stg::c_OK)
            std::printf("%s: %s .. %s\n", AxisLabel(id, axis).c_str(), FormatQuantity(minimum).c_str(),
                        FormatQuantity(maximum).c_str());
        else
            std::printf("%s: not defined\n", AxisLabel(id, axis).c_str());
    }
}

void CCommands::Calib(const tAssignArgs& args)
{
    std::vector<tAxisQuantity> parsed;
    for (const auto& text : args.assignments)
        parsed.push_back(ParseAxisQuantity(text));
    const std::uint32_t id = Session().ID();
    for (const auto& calibration : parsed) {
        ChangesSettings();
        CheckCode("setting the calibration", stg::SetCalibration(id, Axis(calibration.axis), calibration.value));
    }
    std::map<int, Position> calibration;
    CheckCode("reading the calibration", stg::GetCalibration(id, calibration, stg::eAllAxes));
    for (const auto& [axis, length] : calibration)
        std::printf("%s: %s per tick\n", AxisLabel(id, axis).c_str(), FormatQuantity(length, 4).c_str());
}

void CCommands::Speed(const tAssignArgs& args)
{
    std::vector<tAxisSpeed> parsed;
    for (const auto& text : args.assignments)
        parsed.push_back(ParseAxisSpeed(text));
    const std::uint32_t id = Session().ID();
    for (const auto& speed : parsed) {
        const int axis = Axis(speed.axis);
        ChangesSettings();
        if (!speed.perSecond) {
            CheckCode("setting the speed of " + speed.axis.text, stg::SetAxisSpeed(id, axis, speed.value.GetValue()));
            continue;
        }
        const int rc = stg::SetAxisSpeed(id, axis, speed.value);
        if (rc == stg::c_InvalidValue)
            throw CCommandError("setting the speed of " + speed.axis.text + ": " + SpeedRefusal(id, axis, speed.value));
        CheckCode("setting the speed of " + speed.axis.text, rc);
    }
    for (int axis : stg::GetAxisList(id))
        std::printf("%s: %s\n", AxisLabel(id, axis).c_str(), SpeedText(id, axis).c_str());
}

void CCommands::ListProps(const std::string& target)
{
    const bool stageLevel = target == "stage";
    const tAxisKey axisKey = stageLevel ? tAxisKey() : ParseAxisKey(target);
    const std::uint32_t id = Session(true).ID();
    const int axis = stageLevel ? -1 : Axis(axisKey);
    const utl::EPropertyScope level = stageLevel ? utl::EPropertyScope::Stage : utl::EPropertyScope::Axis;
    // Every registered setting of the level that the stage (or axis) holds or has a default for:
    // its value as `prop get` shows it, with its unit, and its description.
    for (const auto& info : utl::RegisteredProperties()) {
        if (info.scope != utl::EPropertyScope::Any && info.scope != level)
            continue;
        const auto show = [&](auto value, auto text) {
            const int rc =
                stageLevel ? stg::GetProperty(id, info.id, value) : stg::GetProperty(id, axis, info.id, value);
            if (rc == stg::c_OK)
                std::fputs(PropertyListLine(Narrow(info.name), text(value), info.type == mem::c_tWString,
                                            Narrow(info.unit), Narrow(info.description))
                               .c_str(),
                           stdout);
        };
        const auto shown = [](const auto& v) { return PropertyText(v); };
        if (info.type == mem::c_tInt)
            show(0, shown);
        else if (info.type == mem::c_tInt64)
            show(std::int64_t{0}, shown);
        else if (info.type == mem::c_tDouble)
            show(0.0, shown);
        else if (info.type == mem::c_tBool)
            show(false, shown);
        else if (info.type == mem::c_tUnitDouble)
            show(Position(), shown);
        else if (info.type == mem::c_tWString)
            show(std::wstring(), Narrow);
    }
}

void CCommands::Prop(const tPropArgs& args)
{
    if (args.action == "list") {
        ListProps(args.target.empty() ? "stage" : args.target);
        return;
    }
    if (args.target.empty() || args.name.empty())
        throw CArgumentError("prop " + args.action + " needs a target (stage, X, Y, Z or an axis number) and a name");
    const bool stageLevel = args.target == "stage";
    const tAxisKey axisKey = stageLevel ? tAxisKey() : ParseAxisKey(args.target);
    // A driver registers its own settings when its module is loaded: the stage comes first.
    const std::uint32_t id = Session(true).ID();
    int propID = 0;
    std::string type = args.type;
    std::optional<utl::tPropertyInfo> info = utl::FindProperty(Widen(args.name));
    if (!info && (std::isdigit(static_cast<unsigned char>(args.name[0])) || args.name[0] == '-')) {
        propID = ParseInteger<int>(args.name, "property");
        info = utl::FindProperty(propID);
    }
    if (info) {
        propID = info->id;
        if (type.empty())
            type = info->type == mem::c_tInt          ? "int"
                   : info->type == mem::c_tInt64      ? "int64"
                   : info->type == mem::c_tDouble     ? "double"
                   : info->type == mem::c_tBool       ? "bool"
                   : info->type == mem::c_tUnitDouble ? "quantity"
                   : info->type == mem::c_tWString    ? "text"
                                                      : "";
    } else if (propID == 0) {
        std::vector<std::string> names;
        for (const auto& registered : utl::RegisteredProperties())
            names.push_back(Narrow(registered.name));
        const std::string closest = ClosestName(args.name, names);
        throw CArgumentError("no setting named \"" + args.name + "\" (" +
                             (closest.empty() ? "plinth prop list shows them" : "did you mean " + closest + "?") + ")");
    }
    if (type.empty())
        throw CCommandError("the type of property " + args.name + " is not known; give it with --type");
    const bool writing = args.action == "set";
    if (writing && args.value.empty())
        throw CCommandError("prop set needs a value");

    const int axis = stageLevel ? -1 : Axis(axisKey);
    const std::string unit = info && !info->unit.empty() ? " " + Narrow(info->unit) : "";
    // Reads or writes one value of type T at the chosen level; the value to write is parsed first.
    const auto access = [&](auto value, auto parse, auto print) {
        int rc = 0;
        if (writing) {
            value = parse(args.value);
            ChangesSettings();
            rc = stageLevel ? stg::SetProperty(id, propID, value) : stg::SetProperty(id, axis, propID, value);
            // The library refuses a value outside what the registration declares; say what it takes.
            if (rc == stg::c_InvalidValue && info && !utl::DeclaredValuesText(*info).empty())
                throw CCommandError(Narrow(info->name) + " takes " + Narrow(utl::DeclaredValuesText(*info)) + ", not " +
                                    args.value + "; nothing was changed");
            CheckCode("writing " + args.name, rc);
        }
        rc = stageLevel ? stg::GetProperty(id, propID, value) : stg::GetProperty(id, axis, propID, value);
        CheckCode("reading " + args.name, rc);
        std::printf("%s = %s%s\n", args.name.c_str(), print(value).c_str(), unit.c_str());
    };
    const auto shown = [](const auto& v) { return PropertyText(v); };
    const std::string& what = args.name;
    if (type == "int")
        access(
            0, [&](const std::string& t) { return ParseInteger<int>(t, what); }, shown);
    else if (type == "int64")
        access(
            std::int64_t{0}, [&](const std::string& t) { return ParseInteger<std::int64_t>(t, what); }, shown);
    else if (type == "double")
        access(
            0.0, [&](const std::string& t) { return ParseReal(t, what); }, shown);
    else if (type == "bool")
        access(
            false, [&](const std::string& t) { return ParseTruth(t, what); }, shown);
    else if (type == "quantity")
        access(
            Position(), [&](const std::string& t) { return ParseQuantity(t, what); }, shown);
    else
        access(std::wstring(), Widen, Narrow);
}

void CCommands::Escape(bool escape)
{
    const std::uint32_t id = Session().ID();
    const CStopOnSignal stopOnSignal(id);
    std::printf("%s Z; Ctrl-C stops\n", escape ? "escaping" : "returning");
    std::fflush(stdout);
    const int rc = stg::EscapeZ(id, escape);
    if (rc == stg::c_EscapeCounted) {
        std::printf("%s counted; Z did not move (nested escape)\n", escape ? "escape" : "return");
    } else {
        CheckCode(escape ? "escape" : "return", rc);
        if (!stg::IsEscapeEnabled(id))
            std::printf("this stage does not allow Z escape; nothing to do\n");
    }
    Position z;
    if (stg::GetPosition(id, stg::eAxisZ, z) == stg::c_OK)
        std::printf("Z at %s, %s\n", FormatQuantity(z).c_str(), stg::IsEscapedZ(id) ? "escaped" : "not escaped");
}

void CCommands::ShowPositionsWhileMoving(const std::vector<int>& axes)
{
    const std::uint32_t id = Session().ID();
    const auto line = [&] {
        std::map<int, Position> positions;
        for (int axis : axes)
            positions[axis] = Position();
        if (stg::GetPosition(id, positions, stg::eGivenAxes) != stg::c_OK)
            return;
        std::printf("\r\033[K ");
        for (const auto& [axis, position] : positions)
            std::printf("  %s %s", TypeName(stg::GetAxisType(id, axis)), FormatQuantity(position, 1).c_str());
        std::fflush(stdout);
    };
    while (stg::IsMoving(id, axes) && !interrupts::Pending()) {
        line();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (const int signal = interrupts::Pending()) {
        StopOpenStage();
        line();
        std::printf("\n");
        for (int axis : axes) {
            Position position;
            if (stg::GetPosition(id, axis, position) == stg::c_OK)
                std::printf("stopped: %s: %s\n", AxisLabel(id, axis).c_str(), FormatQuantity(position).c_str());
        }
        std::fflush(stdout);
        throw CInterrupted{signal};
    }
    line();
    std::printf("\n");
}

void CCommands::Watch(const tWatchArgs& args)
{
    const int intervalMs = ParseInteger<int>(args.intervalMs, "--interval", 20, 60000);
    const std::uint32_t id = Session().ID();
    std::printf("watching stage %u; Ctrl-C ends\n", id);
    std::string lastLine;
    while (!interrupts::Pending()) {
        // The enabled axes by name: a read of all axes fails while one is disabled.
        std::vector<int> enabled;
        stg::GetEnabledAxes(id, enabled);
        std::map<int, Position> positions;
        for (int axis : enabled)
            positions[axis] = Position();
        if (stg::GetPosition(id, positions, stg::eGivenAxes) == stg::c_OK) {
            std::string line;
            for (const auto& [axis, position] : positions)
                line += std::string(TypeName(stg::GetAxisType(id, axis))) + " " + FormatQuantity(position, 1) + "  ";
            line += stg::IsMoving(id, stg::GetAxisList(id)) ? "(moving)" : "";
            // A line when something changed, not the same line again (events print their own).
            if (line != lastLine) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
                lastLine = std::move(line);
            }
        }
        for (int waited = 0; waited < intervalMs && !interrupts::Pending(); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Ctrl-C is how watch ends; SIGTERM ends the command.
    if (interrupts::Pending() == SIGINT)
        interrupts::Take();
}

namespace {

// The words Tab completes from, filled when the shell starts (the stage's axes do not change
// while it runs; settings registered later by a driver are not offered). Read only by readline's
// completion, on the shell's thread.
tShellVocabulary g_shellVocabulary;

// readline's generator: the matches one by one, then nullptr.
extern "C" char* NextShellCompletion(const char* text, int state)
{
    static std::vector<std::string> matches;
    static std::size_t next = 0;
    if (state == 0) {
        matches = ShellCompletions(std::string_view(rl_line_buffer, static_cast<std::size_t>(rl_point))
                                       .substr(0, static_cast<std::size_t>(rl_point) - std::strlen(text)),
                                   text, g_shellVocabulary);
        next = 0;
        // An axis completed with its "=" goes on with the value, not with a blank.
        const bool goesOn = matches.size() == 1 && !matches.front().empty() && matches.front().back() == '=';
        rl_completion_append_character = goesOn ? 0 : int{' '};
    }
    return next < matches.size() ? strdup(matches[next++].c_str()) : nullptr;
}

extern "C" char** CompleteShellLine(const char* text, int, int)
{
    rl_attempted_completion_over = 1; // no file names when nothing matches
    return rl_completion_matches(text, NextShellCompletion);
}

// The shell's line, handed over by readline's callback.
std::optional<std::string> g_shellLine;
bool g_shellEnd = false;

// Removes itself, so that readline shows no prompt until the line has been run.
extern "C" void OnShellLine(char* raw)
{
    rl_callback_handler_remove();
    if (!raw) {
        g_shellEnd = true;
        return;
    }
    g_shellLine = std::string(raw);
    std::free(raw);
}

} // namespace

void CCommands::RunShellLine(const std::string& line)
{
    CLI::App app("plinth shell", "plinth");
    CCommands commands(m_target);
    commands.m_session = std::move(m_session);
    commands.Add(app, true);
    app.require_subcommand(0, 1);
    try {
        app.parse(line == "help" ? std::string("--help") : line, false);
        commands.RunChosen();
    } catch (const CLI::ParseError& error) {
        app.exit(error);
    } catch (const CInterrupted& interrupted) {
        if (interrupted.signal != SIGINT) {
            m_session = std::move(commands.m_session);
            m_changesSettings = m_changesSettings || commands.m_changesSettings;
            throw;
        }
        interrupts::Take();
        std::printf("interrupted\n");
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "error: %s\n", error.what());
    }
    m_session = std::move(commands.m_session);
    m_changesSettings = m_changesSettings || commands.m_changesSettings;
}

void CCommands::Shell()
{
    Session(); // the stage stays active until the shell ends
    std::printf("plinth shell on stage %u; commands as on the command line, \"help\", \"quit\" to end\n",
                m_target.stageID);
    std::fflush(stdout);
    // Tab completes from the commands of the shell's parser, the stage's axes and the setting names.
    {
        CLI::App app("plinth shell", "plinth");
        CCommands commands(m_target);
        commands.Add(app, true);
        g_shellVocabulary = {{"help", "quit", "exit"}, {}, {}};
        for (const CLI::App* sub : app.get_subcommands({}))
            g_shellVocabulary.commands.push_back(sub->get_name());
        for (int axis : stg::GetAxisList(m_target.stageID)) {
            const std::string type = TypeName(stg::GetAxisType(m_target.stageID, axis));
            g_shellVocabulary.axes.push_back(type == "-" ? std::to_string(axis) : type);
        }
        for (const auto& registered : utl::RegisteredProperties())
            g_shellVocabulary.settings.push_back(Narrow(registered.name));
    }
    rl_attempted_completion_function = CompleteShellLine;
    // The callback form of readline, so that the prompt waits for a line and for a signal at once.
    // Ctrl-L is readline's own clear-screen in its default (emacs) key map.
    rl_catch_signals = 0;
    g_shellEnd = false;
    bool prompting = false; // the handler is installed (OnShellLine removes it)
    while (!g_shellEnd) {
        if (!prompting) {
            rl_callback_handler_install("plinth> ", OnShellLine);
            prompting = true;
        }
        fd_set readable;
        FD_ZERO(&readable);
        if (!interrupts::Pending()) {
            FD_SET(STDIN_FILENO, &readable);
            FD_SET(interrupts::ReadFd(), &readable);
            if (select(std::max(STDIN_FILENO, interrupts::ReadFd()) + 1, &readable, nullptr, nullptr, nullptr) < 0)
                FD_ZERO(&readable); // a signal came; it is pending now
        }
        if (const int signal = interrupts::Take()) {
            if (signal != SIGINT) {
                rl_callback_handler_remove();
                std::printf("\n");
                throw CInterrupted{signal};
            }
            // Ctrl-C at the prompt: motion started from the shell stops, the line is dropped.
            StopOpenStage();
            rl_replace_line("", 0);
            rl_crlf();
            rl_on_new_line();
            rl_redisplay();
            continue;
        }
        if (!FD_ISSET(STDIN_FILENO, &readable))
            continue;
        rl_callback_read_char();
        if (g_shellEnd || !g_shellLine)
            continue;
        prompting = false;
        const std::string line = std::move(*g_shellLine);
        g_shellLine.reset();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        add_history(line.c_str());
        if (line == "quit" || line == "exit")
            break;
        RunShellLine(line);
    }
    rl_callback_handler_remove();
    std::printf("\n");
}

} // namespace plinthcli
