#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <platform/Module.h>
#include <plinth/Plinth.h>

namespace plinthcli {

// One stage for the life of a command (or of the shell): the driver module loaded, the stage
// registered and activated, its events printed as they arrive. The end unregisters the stage
// (its driver stores where the axes stand) and flushes the configuration database, so the next
// invocation finds the stage as this one left it.
class CStageSession {
public:
    // Runs between registration and activation, e.g. to write settings the driver reads when it starts.
    using BeforeActivation = std::function<void(stg::CLowLevelStage&)>;

    // Throws std::runtime_error with one clear line when the module cannot be loaded or the
    // stage cannot be registered or activated (with the driver's "DriverMessage" when it keeps one).
    CStageSession(const std::string& modulePath, std::uint32_t stageID, bool printEvents,
                  const BeforeActivation& beforeActivation = nullptr);
    ~CStageSession();
    CStageSession(const CStageSession&) = delete;
    CStageSession& operator=(const CStageSession&) = delete;

    std::uint32_t ID() const noexcept { return m_info.stageID; }
    const std::string& ModulePath() const noexcept { return m_modulePath; }
    void PrintEvents(bool print) noexcept { m_printEvents = print; }
    // Called for every event of this stage (besides printing), e.g. by the demo's summary.
    void OnEvent(std::function<void(const stg::tSTAGEMSG&)> handler) { m_handler = std::move(handler); }

private:
    std::string m_modulePath;
    plat::CModule m_module;
    stg::tStageInfo m_info;
    utl::EventToken m_token = 0;
    bool m_printEvents;
    std::function<void(const stg::tSTAGEMSG&)> m_handler;
};

// Names the kind of a stage event ("limits changed", ...).
const char* EventName(int msgID);

// What the stage's driver last said in words ("DriverMessage"); "" when it keeps nothing.
std::string DriverMessage(std::uint32_t stageID);

} // namespace plinthcli
