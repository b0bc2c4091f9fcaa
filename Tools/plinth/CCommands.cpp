#include "CCommands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <sstream>
#include <thread>

#include <readline/history.h>
#include <readline/readline.h>

#include <utl/PropertyRegistry.h>

#include "Quantity.h"
#include "SimStageDefs.h"
#include "ZaberDefs.h"

namespace plinthcli {
namespace {

using Position = utl::TUnitValue<double>;

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

std::pair<std::string, std::string> SplitAssignment(const std::string& text)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
        throw CCommandError("expected AXIS=VALUE, got \"" + text + "\"");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

Position ParsePosition(const std::string& text)
{
    const auto value = ParseQuantity(text);
    if (!value)
        throw CCommandError("not a value with a unit: \"" + text + "\" (write for example 12.5um, 1mm or 500nm)");
    return *value;
}

double ParseNumber(const std::string& text)
{
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size())
        throw CCommandError("not a number: \"" + text + "\"");
    return value;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1))
        throw CCommandError("not valid text: \"" + text + "\"");
    wide.resize(length);
    return wide;
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

std::string AxisLabel(std::uint32_t stageID, int axis)
{
    return std::string(TypeName(stg::GetAxisType(stageID, axis))) + " (axis " + std::to_string(axis) + ")";
}

} // namespace

void CCommands::Add(CLI::App& app, bool inShell)
{
    m_inShell = inShell;
    const auto command = [&](const char* name, const char* description, std::function<void()> run) {
        CLI::App* sub = app.add_subcommand(name, description);
        sub->callback([this, run] { m_chosen = run; });
        return sub;
    };
    command("info", "Show the stage: driver module, axes, switches", [this] { Info(); });
    command("axes", "Show every axis with its type, calibration, limits, speed and position", [this] { Axes(); });
    command("pos", "Show the positions of all axes", [this] { Pos(); });
    auto* move = command("move", "Move axes to positions, e.g. move X=12.5um Y=1mm", [this] { Move(); });
    move->add_option("targets", m_args, "AXIS=POSITION, AXIS being X, Y, Z or an axis number")->required();
    move->add_flag("--no-wait", m_noWait, "Start the move and return at once");
    auto* free = command("free", "Run axes freely until stopped, e.g. free X=1 Y=-1", [this] { Free(); });
    free->add_option("speeds", m_args, "AXIS=SPEED; the sign gives the direction")->required();
    command("stop", "Stop all axes", [this] { Stop(); });
    auto* limits = command("limits", "Show or set the axis limits, e.g. limits X=-10mm:10mm", [this] { Limits(); });
    limits->add_option("limits", m_args, "AXIS=MIN:MAX to set; with --init or --clear: the axes (default all)");
    limits->add_flag("--init", m_init, "Search the hardware end switches and take them as limits");
    limits->add_flag("--clear", m_clear, "Forget the limits");
    auto* calib =
        command("calib", "Show or set the calibration (length of one tick), e.g. calib X=0.1um", [this] { Calib(); });
    calib->add_option("calibrations", m_args, "AXIS=LENGTH to set");
    auto* speed =
        command("speed", "Show or set the axis speeds (driver units), e.g. speed X=50000", [this] { Speed(); });
    speed->add_option("speeds", m_args, "AXIS=SPEED to set");
    auto* prop = command("prop", "Read or write a stage or axis property, e.g. prop get X Speed", [this] { Prop(); });
    prop->add_option("action", m_propAction, "get or set")->required()->check(CLI::IsMember({"get", "set"}));
    prop->add_option("target", m_propTarget, "stage, or an axis (X, Y, Z or a number)")->required();
    prop->add_option("name", m_propName, "Property name (e.g. Speed) or ID")->required();
    prop->add_option("value", m_propValue, "Value to set (positions and lengths with their unit)");
    prop->add_option("--type", m_propType, "Value type of an unregistered ID")
        ->check(CLI::IsMember({"int", "int64", "double", "bool", "quantity", "text"}));
    command("escape", "Move Z out of the way (nested escapes are counted)", [this] { Escape(true); });
    command("return", "Bring Z back from an escape", [this] { Escape(false); });
    auto* watch = command("watch", "Print events and positions until interrupted (Ctrl-C)", [this] { Watch(); });
    watch->add_option("--interval", m_intervalMs, "Milliseconds between position lines")->check(CLI::Range(20, 60000));
    if (!inShell) {
        command("shell", "Interactive prompt that keeps the stage active between commands", [this] { Shell(); });
        command("demo", "Demonstration on the simulated stage", [this] { Demo(); });
    }
}

void CCommands::RunChosen()
{
    if (!m_chosen)
        return;
    const auto chosen = std::move(m_chosen);
    m_chosen = nullptr;
    chosen();
}

std::uint32_t CCommands::StageID() const
{
    if (m_target.stageID != 0)
        return m_target.stageID;
    return m_target.modulePath == "zaber" ? 2 : 1;
}

void CCommands::WriteDriverSettings(stg::CLowLevelStage& stage) const
{
    if (!m_target.port.empty())
        stg::WriteStageProperty(stage, zaber::c_propZaberPort, Widen(m_target.port));
    if (m_target.baud > 0)
        stg::WriteStageProperty(stage, zaber::c_propZaberBaud, std::int32_t{m_target.baud});
}

CStageSession& CCommands::Session(bool failedStartIsFine)
{
    if (!m_session) {
        m_target.stageID = StageID();
        try {
            m_session =
                std::make_unique<CStageSession>(ModulePathFor(m_target.modulePath), m_target.stageID, true,
                                                [this](stg::CLowLevelStage& stage) { WriteDriverSettings(stage); });
        } catch (const std::runtime_error& error) {
            throw CCommandError(error.what());
        }
        // A stage is activated even when its driver fails to start; one that found no axis and
        // says why is of no use to any command.
        const std::string said = DriverMessage(m_target.stageID);
        if (!failedStartIsFine && stg::GetAxisCount(m_target.stageID) == 0 && !said.empty()) {
            m_session.reset();
            throw CCommandError("the driver of stage " + std::to_string(m_target.stageID) +
                                " could not start: " + said);
        }
        if (m_target.timeScale > 0.0)
            stg::SetProperty(m_target.stageID, simstage::c_propSimTimeScale, m_target.timeScale);
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
    if (code == stg::c_LimitsNotDefined)
        throw CCommandError(what + ": " + DescribeCode(code) + " (define them with: plinth limits --init)" + detail);
    throw CCommandError(what + ": " + DescribeCode(code) + detail);
}

int CCommands::Axis(const std::string& key)
{
    const std::uint32_t id = Session().ID();
    int axis = -1;
    if (key == "X" || key == "x")
        axis = stg::GetAxisFromType(id, stg::eAxisX);
    else if (key == "Y" || key == "y")
        axis = stg::GetAxisFromType(id, stg::eAxisY);
    else if (key == "Z" || key == "z")
        axis = stg::GetAxisFromType(id, stg::eAxisZ);
    else if (key.find_first_not_of("-0123456789") == std::string::npos && key.size() < 10)
        axis = std::stoi(key);
    const auto axes = stg::GetAxisList(id);
    if (std::find(axes.begin(), axes.end(), axis) == axes.end()) {
        const std::string said = DriverMessage(id);
        throw CCommandError("stage " + std::to_string(id) + " has no axis " + key +
                            (said.empty() ? "" : " [" + said + "]"));
    }
    return axis;
}

std::map<int, Position> CCommands::Positions(const std::vector<std::string>& assignments)
{
    std::map<int, Position> positions;
    for (const auto& text : assignments) {
        const auto [key, value] = SplitAssignment(text);
        positions[Axis(key)] = ParsePosition(value);
    }
    return positions;
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
}

void CCommands::Axes()
{
    const std::uint32_t id = Session().ID();
    for (int axis : stg::GetAxisList(id)) {
        Position calibration, position, minimum, maximum;
        double speed = 0.0;
        std::printf("%s%s\n", AxisLabel(id, axis).c_str(), stg::IsAxisEnabled(id, axis) ? "" : " (disabled)");
        if (stg::GetCalibration(id, axis, calibration) == stg::c_OK)
            std::printf("  calibration %s per tick\n", FormatQuantity(calibration, 4).c_str());
        if (stg::GetPosition(id, axis, position) == stg::c_OK)
            std::printf("  position    %s\n", FormatQuantity(position).c_str());
        if (stg::GetAxisLimits(id, axis, minimum, maximum) == stg::c_OK)
            std::printf("  limits      %s .. %s\n", FormatQuantity(minimum).c_str(), FormatQuantity(maximum).c_str());
        else
            std::printf("  limits      not defined\n");
        if (stg::GetAxisSpeed(id, axis, speed) == stg::c_OK)
            std::printf("  speed       %g\n", speed);
    }
}

void CCommands::Pos()
{
    // Axis by axis, so that one axis that cannot answer does not hide the others.
    const std::uint32_t id = Session().ID();
    int firstFailure = stg::c_OK;
    for (int axis : stg::GetAxisList(id)) {
        Position position;
        const int rc = stg::GetPosition(id, axis, position);
        if (rc == stg::c_OK)
            std::printf("%s: %s\n", AxisLabel(id, axis).c_str(), FormatQuantity(position).c_str());
        else if (firstFailure == stg::c_OK)
            firstFailure = rc;
    }
    CheckCode("reading the positions", firstFailure);
}

void CCommands::Move()
{
    const std::uint32_t id = Session().ID();
    const auto targets = Positions(m_args);
    CheckCode("move", stg::MoveTo(id, targets, !m_noWait));
    if (m_noWait) {
        std::printf("move started\n");
        return;
    }
    for (const auto& entry : targets) {
        Position position;
        CheckCode("reading the position", stg::GetPosition(id, entry.first, position));
        std::printf("%s: %s\n", AxisLabel(id, entry.first).c_str(), FormatQuantity(position).c_str());
    }
}

void CCommands::Free()
{
    std::map<int, double> speeds;
    for (const auto& text : m_args) {
        const auto [key, value] = SplitAssignment(text);
        speeds[Axis(key)] = ParseNumber(value);
    }
    CheckCode("free run", stg::MoveFree(Session().ID(), speeds));
    std::printf("running; stop with: plinth stop\n");
}

void CCommands::Stop() { CheckCode("stop", stg::StopMoving(Session().ID())); }

void CCommands::Limits()
{
    const std::uint32_t id = Session().ID();
    std::vector<int> axes;
    if (m_init || m_clear) {
        for (const auto& key : m_args)
            axes.push_back(Axis(key));
        if (axes.empty())
            axes = stg::GetAxisList(id);
    }
    if (m_init) {
        auto* medium = stg::CStageManager::StageManager().GetMediumLevel(id);
        std::printf("searching the end switches...\n");
        CheckCode("range search", medium->InitRanges(axes));
    } else if (m_clear) {
        CheckCode("forgetting the limits", stg::UndefineLimits(id, axes));
    } else {
        for (const auto& text : m_args) {
            const auto [key, range] = SplitAssignment(text);
            const auto colon = range.find(':');
            if (colon == std::string::npos)
                throw CCommandError("expected AXIS=MIN:MAX, got \"" + text + "\"");
            CheckCode("setting the limits of " + key,
                      stg::SetAxisLimits(id, Axis(key), ParsePosition(range.substr(0, colon)),
                                         ParsePosition(range.substr(colon + 1))));
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

void CCommands::Calib()
{
    const std::uint32_t id = Session().ID();
    for (const auto& [axis, length] : Positions(m_args))
        CheckCode("setting the calibration", stg::SetCalibration(id, axis, length));
    std::map<int, Position> calibration;
    CheckCode("reading the calibration", stg::GetCalibration(id, calibration, stg::eAllAxes));
    for (const auto& [axis, length] : calibration)
        std::printf("%s: %s per tick\n", AxisLabel(id, axis).c_str(), FormatQuantity(length, 4).c_str());
}

void CCommands::Speed()
{
    const std::uint32_t id = Session().ID();
    for (const auto& text : m_args) {
        const auto [key, value] = SplitAssignment(text);
        CheckCode("setting the speed", stg::SetAxisSpeed(id, Axis(key), ParseNumber(value)));
    }
    std::map<int, double> speeds;
    CheckCode("reading the speeds", stg::GetSpeeds(id, speeds, stg::eAllAxes));
    for (const auto& [axis, value] : speeds)
        std::printf("%s: %g\n", AxisLabel(id, axis).c_str(), value);
}

void CCommands::Prop()
{
    const std::uint32_t id = Session(true).ID();
    const bool stageLevel = m_propTarget == "stage";
    const int axis = stageLevel ? -1 : Axis(m_propTarget);

    int propID = 0;
    std::string type = m_propType;
    if (const auto info = utl::FindProperty(Widen(m_propName))) {
        propID = info->id;
        if (type.empty())
            type = info->type == mem::c_tInt       ? "int"
                   : info->type == mem::c_tInt64   ? "int64"
                   : info->type == mem::c_tDouble  ? "double"
                   : info->type == mem::c_tBool    ? "bool"
                   : info->type == 0x1000000A      ? "quantity"
                   : info->type == mem::c_tWString ? "text"
                                                   : "";
    } else {
        propID = static_cast<int>(ParseNumber(m_propName));
    }
    if (type.empty())
        throw CCommandError("the type of property " + m_propName + " is not known; give it with --type");

    // Reads or writes one value of type T at the chosen level.
    const auto access = [&](auto value, auto parse, auto print) {
        int rc = 0;
        if (m_propAction == "set") {
            if (m_propValue.empty())
                throw CCommandError("prop set needs a value");
            value = parse(m_propValue);
            rc = stageLevel ? stg::SetProperty(id, propID, value) : stg::SetProperty(id, axis, propID, value);
            CheckCode("writing " + m_propName, rc);
        }
        rc = stageLevel ? stg::GetProperty(id, propID, value) : stg::GetProperty(id, axis, propID, value);
        CheckCode("reading " + m_propName, rc);
        std::printf("%s = %s\n", m_propName.c_str(), print(value).c_str());
    };
    const auto number = [](auto v) {
        std::ostringstream out;
        out << v;
        return out.str();
    };
    if (type == "int")
        access(
            0, [](const std::string& t) { return static_cast<int>(ParseNumber(t)); }, number);
    else if (type == "int64")
        access(
            std::int64_t{0}, [](const std::string& t) { return static_cast<std::int64_t>(ParseNumber(t)); }, number);
    else if (type == "double")
        access(0.0, ParseNumber, number);
    else if (type == "bool")
        access(
            false,
            [](const std::string& t) {
                if (t == "true" || t == "on" || t == "1")
                    return true;
                if (t == "false" || t == "off" || t == "0")
                    return false;
                throw CCommandError("not a truth value: \"" + t + "\" (true/false, on/off, 1/0)");
            },
            [](bool v) { return std::string(v ? "true" : "false"); });
    else if (type == "quantity")
        access(Position(), ParsePosition, [](const Position& v) { return FormatQuantity(v, 4); });
    else
        access(std::wstring(), Widen, Narrow);
}

void CCommands::Escape(bool escape)
{
    const std::uint32_t id = Session().ID();
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
    while (stg::IsMoving(id, axes) && !g_interrupted) {
        line();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    line();
    std::printf("\n");
}

void CCommands::Watch()
{
    const std::uint32_t id = Session().ID();
    g_interrupted = false;
    auto* previous = std::signal(SIGINT, OnInterrupt);
    std::printf("watching stage %u; Ctrl-C ends\n", id);
    while (!g_interrupted) {
        std::map<int, Position> positions;
        if (stg::GetPosition(id, positions, stg::eAllAxes) == stg::c_OK) {
            for (const auto& [axis, position] : positions)
                std::printf("%s %s  ", TypeName(stg::GetAxisType(id, axis)), FormatQuantity(position, 1).c_str());
            std::printf("%s\n", stg::IsMoving(id, stg::GetAxisList(id)) ? "(moving)" : "");
            std::fflush(stdout);
        }
        for (int waited = 0; waited < m_intervalMs && !g_interrupted; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::signal(SIGINT, previous);
}

void CCommands::Shell()
{
    Session(); // the stage stays active until the shell ends
    std::printf("plinth shell on stage %u; commands as on the command line, \"help\", \"quit\" to end\n",
                m_target.stageID);
    while (char* raw = readline("plinth> ")) {
        const std::string line(raw);
        std::free(raw);
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        add_history(line.c_str());
        if (line == "quit" || line == "exit")
            break;
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
        } catch (const std::exception& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "error: %s\n", error.what());
        }
        m_session = std::move(commands.m_session);
    }
    std::printf("\n");
}

} // namespace plinthcli
