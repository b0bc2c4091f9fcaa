#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include <platform/Module.h>
#include <plinth/CMediumLevelStage.h>
#include <plinth/CStageAccess.h>
#include <plinth/CStageRef.h>
#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/StageTypes.h>
#include <utl/CPropSet.h>

namespace stg {

// Identifies one stage towards the stage manager.
struct tStageInfo {
    plat::ModuleHandle module = nullptr; // the driver module exporting "CreateStage"
    std::uint32_t stageID = 0;
};

// The one registry of stages in the process. It makes a stage's driver object with the factory
// "CreateStage" of the stage's driver module, activates it by stacking a medium level and a stage
// access object on it, and keeps all three by stage ID.
//
// Per stage: unregistered -> registered (RegisterStage) -> active (ActivateStage) -> registered
// (DeactivateStage) -> unregistered (UnregisterStage); Reset and ReInitialize go from any state
// through unregistered to active.
//
// Threads: every operation may be called from any thread, also while other threads use the same
// stage. Registering, activating and retiring serialise on the manager's mutex, never held while
// a driver, a stage or a subscriber is called. Finding and holding a stage takes no lock: a
// look-up scans a list of slots that only grows (detail::tStageSlot), increments the count of
// calls in flight of its stage's slot and checks that the slot still holds that stage live;
// retiring clears "live" and waits on the mutex for that count. A call writes only its own
// stage's count, so calls on different stages never wait for each other.
// - Acquire gives a hold (CStageRef) that keeps the stage's objects alive until it ends; the flat
//   API, the Z escape and the stage events' look-ups use it for the length of each call, so a
//   call that found its stage finishes on it, and a call that starts after the stage was retired
//   answers c_NoSuchStage (or its fixed missing-stage answer).
// - DeactivateStage, UnregisterStage, Reset and ReInitialize first take the stage out of the
//   look-up, then wait for the holds of other threads to end (a blocking move in flight, say),
//   then deactivate, Exit() and delete. Called from inside a call on the same stage (a
//   subscriber, a driver), they do not wait for that call: the objects then go when its hold
//   ends. Not from a driver slot, though: under the stage lock it would wait for calls that wait
//   for that lock. Two threads that each retire, from inside a call on one stage, the stage the
//   other is in wait for each other.
// - Two threads registering or activating the same stage ID at once end with one stage; the other
//   call's objects are discarded unused.
// GetStage, GetMediumLevel, GetLowLevel and stg::GetStageAccess answer plain pointers that stay
// owned by the manager and are valid only until the stage is deactivated (medium level, stage
// access) or unregistered (low level): use them where no other thread retires the stage, and
// Acquire everywhere else.
class CStageManager {
public:
    // The one manager of the process, made when the library is loaded and never destroyed: a
    // thread that outlives the static objects (a daemon thread of an interpreter that is shutting
    // down) may still look a stage up or end a hold of one. So stages still registered when the
    // process ends are neither exited nor deleted (their driver modules may be gone by then):
    // unregister every stage before.
    static CStageManager& StageManager();

    CStageManager(const CStageManager&) = delete;
    CStageManager& operator=(const CStageManager&) = delete;

    // Makes the driver object; false when the module has no "CreateStage", the factory answers
    // null or throws, or the ID is registered already (the stored stage stays as it is). The
    // driver object is not initialised here.
    bool RegisterStage(const tStageInfo& info);
    // Why the calling thread's last RegisterStage (or the registration inside Reset and
    // ReInitialize) made no driver object, in words: the module has no factory, the factory or the
    // driver's constructor failed (with its message), or the ID is registered already. Empty after
    // one that succeeded.
    static std::string GetRegisterFailure();
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
    // A hold on the active stage (empty when it is not active); see above.
    CStageRef Acquire(std::uint32_t stageID) const;
    CStageAccess* GetStage(const std::uint32_t& stageID) const;
    CMediumLevelStage* GetMediumLevel(const std::uint32_t& stageID) const;
    CLowLevelStage* GetLowLevel(const std::uint32_t& stageID) const;
    // The ID under which every stage fires its events: stg::GetStageEventID().
    unsigned int GetEventID() const noexcept { return m_eventID; }
    // The manager's own property set (group 3, ID 0 in the configuration database).
    boost::shared_ptr<utl::CPropSet> GetPropSet() const { return m_propSet; }

private:
    friend class CStageRef;

    CStageManager();
    // Binds the names of the library's properties to their IDs and types; true when every one
    // was accepted (each is tried whatever happened to the others).
    bool RegisterProps();
    // Makes and stores a driver object from the module's factory unless the ID is registered;
    // false when none was stored.
    bool CreateDriver(const tStageInfo& info);
    // The live slot of `stageID`, or null. Expects m_mutex held.
    detail::tStageSlot* FindLive(std::uint32_t stageID) const;
    // Takes `slot` out of the look-up, waits until no thread but the calling one holds it, and
    // deletes its stage's objects once `lock` (on m_mutex) is released; when the calling thread
    // holds the slot, its last hold deletes them instead.
    void Vacate(detail::tStageSlot& slot, std::unique_lock<std::mutex> lock);
    // Ends one hold of `slot` (CStageRef); takes m_mutex only when the slot is not live.
    void Release(detail::tStageSlot& slot) const noexcept;

    ~CStageManager() = default; // never called: the manager lives as long as the process

    static CStageManager& ms_StageManager;

    // Guards m_lowLevel, the non-atomic members of the slots and the growth of their list; held
    // briefly, never while calling out. m_unheld: a hold of a slot that is not live ended.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_unheld;
    // Held by the thread that is making a driver object, so that two registrations of one ID do
    // not both plug a property set. Recursive: a factory may register other stages.
    std::recursive_mutex m_creating;
    std::map<std::uint32_t, std::shared_ptr<CLowLevelStage>> m_lowLevel;
    std::atomic<detail::tStageSlot*> m_slots{nullptr};
    boost::shared_ptr<utl::CPropSet> m_propSet;
    unsigned int m_eventID;
};

// The stage access object of an active stage, or null; a plain pointer, valid as GetStage says.
// Across threads, hold the stage with CStageManager::Acquire instead.
CStageAccess* GetStageAccess(std::uint32_t stageID);

} // namespace stg
