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

namespace plinthcli {

// A failure to report: one line on stderr, exit status 1.
struct CCommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the stage comes from, shared by all commands of an invocation (or of a shell).
struct tTarget {
    std::string modulePath = "sim"; // a short name (ModulePathFor) or a path
    std::uint32_t stageID = 0;      // 0: by module, 1 (2 for zaber, whose settings differ from the sim's)
    double timeScale = 0.0;         // > 0: sets the simulated stage's time scale
    std::string port;               // not empty: the Zaber driver's serial port, kept with the stage's settings
    int baud = 0;                   // > 0: its baud rate, likewise
};

// The commands of the `plinth` tool. Add() puts them on a CLI11 app, once for the command line
// and once per line of the shell; each runs against one lazily opened stage session.
class CCommands {
public:
    explicit CCommands(tTarget& target) : m_target(target) {}

    void Add(CLI::App& app, bool inShell);
    // Runs the command chosen by the last parse; throws CCommandError on a failure.
    void RunChosen();
    // Closes the stage (it is unregistered and its settings flushed).
    void Close() { m_session.reset(); }

private:
    // `failedStartIsFine`: the stage is wanted also when its driver could not start (to look at it
    // or to correct its settings); otherwise that ends the command with the driver's reason.
    CStageSession& Session(bool failedStartIsFine = false);
    // The stage ID asked for, or the module's default.
    std::uint32_t StageID() const;
    // Writes --port and --baud into the stage's settings before the driver starts.
    void WriteDriverSettings(stg::CLowLevelStage& stage) const;
    void CheckCode(const std::string& what, int code) const;
    int Axis(const std::string& key); // "X", "y", "z" or an axis number
    std::map<int, utl::TUnitValue<double>> Positions(const std::vector<std::string>& assignments);

    void Info();
    void Axes();
    void Pos();
    void Move();
    void Free();
    void Stop();
    void Limits();
    void Calib();
    void Speed();
    void Prop();
    void Escape(bool escape);
    void Watch();
    void Shell();
    void Demo();

    void ShowPositionsWhileMoving(const std::vector<int>& axes);

    tTarget& m_target;
    std::unique_ptr<CStageSession> m_session;
    std::function<void()> m_chosen;

    // Arguments of the commands, filled by the parser.
    std::vector<std::string> m_args;
    bool m_noWait = false;
    bool m_init = false;
    bool m_clear = false;
    std::string m_propAction, m_propTarget, m_propName, m_propValue, m_propType;
    int m_intervalMs = 200;
    bool m_inShell = false;
};

} // namespace plinthcli
