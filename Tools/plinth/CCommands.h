#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "CStageSession.h"
#include "CommandArgs.h"

namespace plinthcli {

// A failure to report: one line on stderr, exit status 1.
struct CCommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the stage comes from, shared by all commands of an invocation (or of a shell).
struct tTarget {
    std::string modulePath = "sim"; // a short name (stg::FindDriverModule) or a path (with a slash)
    std::string driverFolder;       // not empty: looked in first for a driver named by short name
    std::uint32_t stageID = 0;      // 0: the driver's stg::DefaultStageID()
    double timeScale = 0.0;         // > 0: sets the simulated stage's time scale
    std::string port;               // not empty: the Zaber driver's serial port, kept with the stage's settings
    int baud = 0;                   // > 0: its baud rate, likewise
};

// The arguments of the commands as the parser fills them (texts, read by CommandArgs.h when the
// command runs, so that every mistake gets the same kind of line).
struct tMoveArgs {
    std::vector<std::string> targets; // AXIS=POSITION
    bool noWait = false;
};
struct tAssignArgs {
    std::vector<std::string> assignments; // AXIS=VALUE; none: show only
};
struct tLimitsArgs {
    std::vector<std::string> items; // AXIS=MIN:MAX, or with init/clear the axes
    bool init = false;
    bool clear = false;
};
struct tPropArgs {
    std::string action, target, name, value, type;
};
struct tConfigArgs {
    std::string action, stage; // "reset" and the stage ID; no action: show where settings are kept
    bool yes = false;
};
struct tWatchArgs {
    std::string intervalMs = "200";
};

// The commands of the `plinth` tool. Add() puts them on a CLI11 app, once for the command line
// and once per line of the shell; each runs against one lazily opened stage session.
class CCommands {
public:
    explicit CCommands(tTarget& target) : m_target(target) {}

    void Add(CLI::App& app, bool inShell);
    // Runs the command chosen by the last parse; throws CCommandError on a failure and
    // CInterrupted when a signal ended it.
    void RunChosen();
    // Stops the motion of an open stage (after a signal); false when no stage is open.
    bool StopOpenStage();
    // Closes the stage: it is unregistered (its driver stores where the axes stand) and its
    // settings are written. Throws CCommandError when a setting that this process changed could not
    // be saved.
    void Close();
    // Lists the drivers known by short name and where each is found (`drivers`, `--module help`).
    void ListDrivers() const;

private:
    // `failedStartIsFine`: the stage is wanted also when its driver could not start (to look at it
    // or to correct its settings); otherwise that ends the command with the driver's reason.
    CStageSession& Session(bool failedStartIsFine = false);
    // The stage ID asked for, or the module's default.
    std::uint32_t StageID() const;
    // Writes --port and --baud into the stage's settings before the driver starts.
    void WriteDriverSettings(stg::CLowLevelStage& stage);
    void CheckCode(const std::string& what, int code) const;
    int Axis(const tAxisKey& key);
    // Notes that the command changes stage settings, which must then reach the file.
    void ChangesSettings() noexcept { m_changesSettings = true; }

    void Info();
    void Axes();
    void Pos();
    void Move(const tMoveArgs& args);
    void Free(const tAssignArgs& args);
    void Stop();
    void Limits(const tLimitsArgs& args);
    void Calib(const tAssignArgs& args);
    void Speed(const tAssignArgs& args);
    void Prop(const tPropArgs& args);
    // Shows every registered setting that the stage ("stage") or an axis holds.
    void ListProps(const std::string& target);
    void Escape(bool escape);
    void Watch(const tWatchArgs& args);
    void Shell();
    void Demo();

    // Throws a CCommandError naming the axis, the target and the limits concerned when one of
    // `targets` explains why the move was refused with `code` (out of range, not homed, disabled).
    // Without `withTargets` (a free run) only a disabled or unhomed axis explains it.
    void ExplainRefusedMove(const std::map<int, utl::TUnitValue<double>>& targets, int code, bool withTargets = true);
    // Shows a progress line until the axes stop. A signal meanwhile stops the stage and throws
    // CInterrupted once it stands.
    void ShowPositionsWhileMoving(const std::vector<int>& axes);
    // The module file of the driver asked for; a CCommandError saying why when there is none.
    std::string ModuleFile() const;
    // Runs one line of the shell.
    void RunShellLine(const std::string& line);

    tTarget& m_target;
    std::unique_ptr<CStageSession> m_session;
    std::function<void()> m_chosen;
    bool m_changesSettings = false;
    // The serial port setting (ID, value) as it was before --port replaced it, until the driver started.
    std::optional<std::pair<int, std::wstring>> m_previousPort;

    tMoveArgs m_move;
    tAssignArgs m_free, m_calib, m_speed;
    tLimitsArgs m_limits;
    tPropArgs m_prop;
    tWatchArgs m_watch;
    tConfigArgs m_config;
};

} // namespace plinthcli
