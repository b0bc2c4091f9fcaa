#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include <boost/shared_ptr.hpp>

#include <plinth/CLowLevelStage.h>
#include <plinth/CMediumLevelStage.h>
#include <plinth/CStageAccess.h>
#include <plinth/StageTypes.h>
#include <utl/CPropSet.h>

namespace stg {

// The one registry of stages in the process. It makes a stage's driver object with the factory
// "CreateStage" of the stage's driver module, activates it by stacking a medium level and a stage
// access object on it, and keeps all three by stage ID.
//
// Per stage: unregistered -> registered (RegisterStage) -> active (ActivateStage) -> registered
// (DeactivateStage) -> unregistered (UnregisterStage); Reset and ReInitialize go from any state
// through unregistered to active.
//
// The manager takes no lock: register, activate, deactivate, unregister, Reset and ReInitialize
// on one thread while no other thread uses the manager; look-ups may run on several threads at
// once while nothing changes. Pointers handed out stay owned by the manager and are valid until
// the stage is deactivated (medium level, stage access) or unregistered (low level).
class CStageManager {
public:
    static CStageManager& StageManager();

    // The manager does not exit or delete stages still registered when the library is unloaded:
    // their driver modules may be gone by then. Unregister every stage before.
    ~CStageManager();
    CStageManager(const CStageManager&) = delete;
    CStageManager& operator=(const CStageManager&) = delete;

    // Makes the driver object; false when the module has no "CreateStage", the factory answers
    // null or throws, or the ID is registered already (the stored stage stays as it is). The
    // driver object is not initialised here.
    bool RegisterStage(const tStageInfo& info);
    // Init()s the driver (its answer is not looked at: a stage whose driver failed to initialise
    // is still activated) and builds the upper layers. Any exception on the way is caught: false,
    // nothing stored. True at once for a stage that is active already.
    bool ActivateStage(const tStageInfo& info);
    // Deletes the stage access object, then the medium level; false when not active.
    bool DeactivateStage(const tStageInfo& info);
    // Deactivates when active, then Exit()s and deletes the driver object (a failing or throwing
    // Exit is not reported). Always true.
    bool UnregisterStage(const tStageInfo& info);
    // Deactivate, unregister, take the stage's property set out of the configuration database
    // and flush it (the new driver object starts from its defaults), register, activate. The
    // answer of the final activation.
    bool Reset(const tStageInfo& info);
    // As Reset, but the stage's settings stay: the new driver object takes them over.
    bool ReInitialize(const tStageInfo& info);
    // Runs Init() of a registered stage again; true when it answered c_OK.
    bool UpdateStage(const std::uint32_t& stageID);

    bool IsActiveStage(const std::uint32_t& stageID) const;
    CStageAccess* GetStage(const std::uint32_t& stageID) const;
    CMediumLevelStage* GetMediumLevel(const std::uint32_t& stageID) const;
    CLowLevelStage* GetLowLevel(const std::uint32_t& stageID) const;
    // The ID under which every stage fires its events.
    unsigned int GetEventID() const noexcept { return m_eventID; }
    // The manager's own property set (group 3, ID 0 in the configuration database).
    boost::shared_ptr<utl::CPropSet> GetPropSet() const { return m_propSet; }

private:
    CStageManager();
    // Binds the names of the library's properties to their IDs and types; true when every one
    // was accepted (each is tried whatever happened to the others).
    bool RegisterProps();
    // Makes and stores a driver object from the module's factory; false when none was made.
    bool CreateDriver(const tStageInfo& info);

    static CStageManager ms_StageManager;

    std::map<std::uint32_t, std::unique_ptr<CLowLevelStage>> m_lowLevel;
    std::map<std::uint32_t, std::unique_ptr<CMediumLevelStage>> m_mediumLevel;
    std::map<std::uint32_t, std::unique_ptr<CStageAccess>> m_access;
    boost::shared_ptr<utl::CPropSet> m_propSet;
    unsigned int m_eventID;
};

// The stage access object of an active stage, or null.
CStageAccess* GetStageAccess(std::uint32_t stageID);

} // namespace stg
