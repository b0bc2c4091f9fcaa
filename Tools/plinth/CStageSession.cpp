#include "CStageSession.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

#include <cfg/GlobalPropSets.h>
#include <plinth/DriverModules.h>
#include <utl/PropertyRegistry.h>

namespace plinthcli {

const char* EventName(int msgID)
{
    switch (msgID) {
    case stg::c_msgLimitsChanged:
        return "limits changed";
    case stg::c_msgCalibrationChanged:
        return "calibration changed";
    case stg::c_msgUserControlOn:
        return "user control on";
    case stg::c_msgUserControlOff:
        return "user control off";
    case stg::c_msgInitRangesBegin:
        return "range search begins";
    case stg::c_msgInitRangesEnd:
        return "range search ended";
    default:
        return "event";
    }
}

std::string DriverMessage(std::uint32_t stageID)
{
    const auto info = utl::FindProperty(L"DriverMessage");
    const stg::CLowLevelStage* stage = stg::CStageManager::StageManager().GetLowLevel(stageID);
    std::wstring text;
    if (!info || !stage || stg::ReadStageProperty(*stage, info->id, text) != stg::c_OK)
        return "";
    return std::string(text.begin(), text.end()); // the driver writes ASCII
}

CStageSession::CStageSession(const std::string& modulePath, std::uint32_t stageID, bool printEvents,
                             const BeforeActivation& beforeActivation)
    : m_modulePath(modulePath), m_module(modulePath), m_printEvents(printEvents)
{
    if (!m_module)
        throw std::runtime_error("cannot load driver module " + modulePath + ": " + plat::LastModuleError());
    m_info.module = m_module.Get();
    m_info.stageID = stageID;
    m_token = utl::SubscribeEvent(stg::GetStageEventID(), [this](const boost::any& message) {
        const auto& msg = boost::any_cast<const stg::tSTAGEMSG&>(message);
        if (msg.stageID != m_info.stageID)
            return;
        // The move events (from the library's watcher thread) are not the session's: the commands
        // show the motion in their own lines.
        if (msg.msgID >= stg::c_msgMoveStarted && msg.msgID <= stg::c_msgPositionSample)
            return;
        if (m_printEvents) {
            std::printf("\r\033[K  [event] %s", EventName(msg.msgID));
            if (msg.axis >= 0)
                std::printf(", axis %d", msg.axis);
            std::printf("\n");
            std::fflush(stdout);
        }
        if (m_handler)
            m_handler(msg);
    });
    auto& manager = stg::CStageManager::StageManager();
    if (!manager.RegisterStage(m_info)) {
        utl::UnsubscribeEvent(m_token);
        throw std::runtime_error("cannot register stage " + std::to_string(stageID) + " with " + modulePath + ": " +
                                 stg::CStageManager::GetRegisterFailure());
    }
    if (beforeActivation) {
        try {
            beforeActivation(*manager.GetLowLevel(stageID));
        } catch (...) {
            manager.UnregisterStage(m_info);
            utl::UnsubscribeEvent(m_token);
            throw;
        }
    }
    if (!manager.ActivateStage(m_info)) {
        const std::string said = DriverMessage(stageID);
        manager.UnregisterStage(m_info);
        cfg::Flush(); // settings written before the activation are kept all the same
        utl::UnsubscribeEvent(m_token);
        throw std::runtime_error("the driver of stage " + std::to_string(stageID) + " failed to start" +
                                 (said.empty() ? "" : ": " + said));
    }
    stg::RememberDriver(stageID, stg::DriverNameOf(modulePath));
}

CStageSession::~CStageSession()
{
    stg::CStageManager::StageManager().UnregisterStage(m_info);
    cfg::Flush();
    utl::UnsubscribeEvent(m_token);
}

} // namespace plinthcli
