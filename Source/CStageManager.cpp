#include <plinth/CStageManager.h>

#include <utility>

#include <boost/make_shared.hpp>

#include <cfg/GlobalPropSets.h>
#include <plinth/StageEvents.h>
#include <plinth/driver/CreateStage.h>
#include <plinth/driver/PropertyIDs.h>
#include <trellis/Extensions.h>
#include <utl/Events.h>
#include <utl/PropertyRegistry.h>

#include "StageSlot.h"

namespace stg {
namespace {

// Tessel's composite type codes, passed on as they are.
constexpr int c_typePropSetIDs = 0x20000112;
constexpr int c_typePropSetVector = 0x28002004;

struct tPropertyRow {
    const wchar_t* name;
    int id;
    int type;
};

// Every property of the library, in registration order.
constexpr tPropertyRow c_properties[] = {
    {L"Axes", c_propAxes, c_typePropSetVector},
    {L"AxisNo", c_propAxisNo, mem::c_tInt},
    {L"PrecisionEnabled", c_propPrecisionEnabled, mem::c_tBool},
    {L"PropSetIDs", c_propPropSetIDs, c_typePropSetIDs},
    {L"AxisEnabled", c_propAxisEnabled, mem::c_tBool},
    {L"AxisType", c_propAxisType, mem::c_tInt},
    {L"hasLimitSwitch", c_propHasLimitSwitch, mem::c_tBool},
    {L"useLimitSwitch", c_propUseLimitSwitch, mem::c_tBool},
    {L"hasFixedUpperLimit", c_propHasFixedUpperLimit, mem::c_tBool},
    {L"hasFixedLowerLimit", c_propHasFixedLowerLimit, mem::c_tBool},
    {L"hasLLRangeDetection", c_propHasLLRangeDetection, mem::c_tBool},
    {L"Calibration", c_propCalibration, mem::c_tUnitDouble},
    {L"Minimum", c_propMinimum, mem::c_tInt64},
    {L"Maximum", c_propMaximum, mem::c_tInt64},
    {L"SpeedMin", c_propSpeedMin, mem::c_tDouble},
    {L"SpeedMax", c_propSpeedMax, mem::c_tDouble},
    {L"Speed", c_propSpeed, mem::c_tDouble},
    {L"Pitch", c_propPitch, mem::c_tDouble},
    {L"ModifySpeed", c_propModifySpeed, mem::c_tBool},
    {L"ModifyPitch", c_propModifyPitch, mem::c_tBool},
    {L"LastPosition", c_propLastPosition, mem::c_tInt64},
    {L"BacklashEnable", c_propBacklashEnable, mem::c_tBool},
    {L"NonOrthoEnable", c_propNonOrthoEnable, mem::c_tBool},
    {L"NonLinearEnable", c_propNonLinearEnable, mem::c_tBool},
    {L"ExistsHWBacklash", c_propExistsHWBacklash, mem::c_tBool},
    {L"UseHWBacklash", c_propUseHWBacklash, mem::c_tBool},
    {L"SWBacklashType", c_propSWBacklashType, mem::c_tInt},
    {L"OffsetSWBL", c_propOffsetSWBL, mem::c_tInt64},
    {L"AngleXY", c_propAngleXY, mem::c_tDouble},
    {L"ModeSetLimit", c_propModeSetLimit, mem::c_tBool},
    {L"HasAdvancedSpeed", c_propHasAdvancedSpeed, mem::c_tBool},
    {L"AxisInverted", c_propAxisInverted, mem::c_tBool},
    {L"AllowEscape", c_propAllowEscape, mem::c_tBool},
    {L"OffsetPosition", c_propOffsetPosition, mem::c_tInt64},
    {L"MirrorLoadPosition", c_propMirrorLoadPosition, mem::c_tBool},
};
static_assert(std::size(c_properties) == 35);

// The library's registration with the host application, for as long as the library is loaded.
constexpr const char* c_extensionName = "Plinth";

struct tHostRegistration {
    tHostRegistration() { appRegisterExtension(c_extensionName); }
    ~tHostRegistration() { appUnregisterExtension(c_extensionName); }
};

} // namespace

// Constructed when the library is loaded, before the host registration below (same file, so in
// this order), and destroyed after it is removed.
CStageManager CStageManager::ms_StageManager;
static tHostRegistration s_hostRegistration;

CStageManager& CStageManager::StageManager() { return ms_StageManager; }

CStageManager::CStageManager() : m_propSet(boost::make_shared<utl::CPropSet>()), m_eventID(GetStageEventID())
{
    RegisterProps();
    cfg::PlugGlobalPropSet(c_cfgStageGroup, c_cfgManagerSetID, m_propSet, false);
}

CStageManager::~CStageManager()
{
    // Deliberately let go, not deleted: the code of the driver objects lives in their modules,
    // which may be unloaded already; the upper layers refer to those objects. Running out of memory
    // here ends the process, which is ending anyway. The slots themselves go.
    // NOLINTBEGIN(bugprone-unhandled-exception-at-new)
    for (detail::tStageSlot* slot = m_slots.load(); slot; delete std::exchange(slot, slot->next.load()))
        (void)slot->active.release();
    for (auto& entry : m_lowLevel)
        (void)new std::shared_ptr<CLowLevelStage>(std::move(entry.second));
    // NOLINTEND(bugprone-unhandled-exception-at-new)
}

bool CStageManager::RegisterProps()
{
    bool all = true;
    for (const auto& row : c_properties)
        all = utl::RegisterProperty(row.name, row.id, row.type) && all;
    return all;
}

namespace {

thread_local std::string t_registerFailure; // see GetRegisterFailure

bool Refuse(std::string reason)
{
    t_registerFailure = std::move(reason);
    return false;
}

} // namespace

void SetCreateStageFailure(const char* reason) noexcept
{
    try {
        t_registerFailure = reason ? reason : "";
    } catch (...) {
        t_registerFailure.clear(); // out of memory: no reason rather than none at all
    }
}

std::string CStageManager::GetRegisterFailure() { return t_registerFailure; }

bool CStageManager::CreateDriver(const tStageInfo& info)
{
    t_registerFailure.clear();
    const auto factory = reinterpret_cast<CreateStageFn>(plat::FindExport(info.module, c_createStageExport));
    if (!factory)
        return Refuse(std::string("the module exports no \"") + c_createStageExport + "\"");
    const std::string stageText = "stage " + std::to_string(info.stageID);
    std::lock_guard<std::recursive_mutex> creating(m_creating);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lowLevel.count(info.stageID))
            return Refuse(stageText + " is registered already");
    }
    // The worker of an emulated move holds the stage lock until its move is over, and may outlive
    // every layer above (the last call on a retired stage deletes them, after Exit): the driver
    // object goes only once that lock is free.
    const auto deleteWhenIdle = [](CLowLevelStage* driver) {
        if (!driver)
            return;
        {
            std::lock_guard<std::recursive_mutex> idle(driver->m_lock);
        }
        delete driver;
    };
    std::shared_ptr<CLowLevelStage> stage;
    try {
        stage = std::shared_ptr<CLowLevelStage>(factory(info.stageID), deleteWhenIdle);
    } catch (const std::exception& error) {
        // A factory must not throw; one that does has made nothing.
        return Refuse("the driver's factory threw for " + stageText + ": " + error.what());
    } catch (...) {
        return Refuse("the driver's factory threw for " + stageText);
    }
    if (!stage) {
        const std::string said = t_registerFailure;
        return Refuse("the driver made no object for " + stageText + (said.empty() ? "" : ": " + said));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lowLevel.emplace(info.stageID, std::move(stage)).second)
        return Refuse(stageText + " is registered already");
    return true;
}

bool CStageManager::RegisterStage(const tStageInfo& info) { return CreateDriver(info); }

bool CStageManager::ActivateStage(const tStageInfo& info)
{
    std::shared_ptr<CLowLevelStage> low;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_lowLevel.find(info.stageID);
        if (it == m_lowLevel.end())
            return false;
        if (FindLive(info.stageID))
            return true;
        low = it->second;
    }
    try {
        low->Init(); // a failed initialisation still activates the stage
        auto active = std::make_unique<detail::tStageSlot::tLayers>();
        active->low = low;
        active->medium = std::make_unique<CMediumLevelStage>(*low);
        active->access = std::make_unique<CStageAccess>(*active->medium);
        std::lock_guard<std::mutex> lock(m_mutex);
        // Another thread may have unregistered the stage, or activated it, meanwhile.
        auto registered = m_lowLevel.find(info.stageID);
        if (registered == m_lowLevel.end() || registered->second != low)
            return false;
        if (FindLive(info.stageID))
            return true;
        detail::tStageSlot* slot = m_slots.load();
        while (slot && slot->active)
            slot = slot->next.load();
        if (!slot) {
            slot = new detail::tStageSlot;
            slot->next.store(m_slots.load());
            m_slots.store(slot);
        }
        slot->active = std::move(active);
        slot->stageID.store(info.stageID);
        slot->live.store(true);
        return true;
    } catch (...) {
        return false;
    }
}

detail::tStageSlot* CStageManager::FindLive(std::uint32_t stageID) const
{
    for (detail::tStageSlot* slot = m_slots.load(); slot; slot = slot->next.load())
        if (slot->live.load() && slot->stageID.load() == stageID)
            return slot;
    return nullptr;
}

void CStageManager::Vacate(detail::tStageSlot& slot, std::unique_lock<std::mutex> lock)
{
    slot.live.store(false);
    const unsigned own = CStageRef::HoldsHere(slot);
    m_unheld.wait(lock, [&] { return slot.inFlight.load() == own; });
    slot.orphaned = own > 0; // then the calling thread's last hold deletes the layers
    const auto layers = slot.orphaned ? nullptr : std::move(slot.active);
    lock.unlock(); // before the layers go
}

void CStageManager::Release(detail::tStageSlot& slot) const noexcept
{
    slot.inFlight.fetch_sub(1);
    if (slot.live.load())
        return;
    // Retired (or being retired): its retirer waits for the count, or its last hold deletes.
    std::unique_ptr<detail::tStageSlot::tLayers> orphan; // deleted after the lock is released
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot.orphaned && slot.inFlight.load() == 0) {
        slot.orphaned = false;
        orphan = std::move(slot.active);
    }
    m_unheld.notify_all();
}

bool CStageManager::DeactivateStage(const tStageInfo& info)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    detail::tStageSlot* slot = FindLive(info.stageID);
    if (slot)
        Vacate(*slot, std::move(lock));
    return slot != nullptr;
}

bool CStageManager::UnregisterStage(const tStageInfo& info)
{
    std::shared_ptr<CLowLevelStage> low;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto it = m_lowLevel.find(info.stageID);
        if (it != m_lowLevel.end()) {
            low = std::move(it->second);
            m_lowLevel.erase(it);
        }
        if (detail::tStageSlot* slot = FindLive(info.stageID))
            Vacate(*slot, std::move(lock));
    }
    if (!low)
        return true;
    try {
        low->Exit();
    } catch (...) {
        // Not reported: the stage goes all the same.
    }
    return true;
}

bool CStageManager::Reset(const tStageInfo& info)
{
    UnregisterStage(info);
    cfg::UnPlugGlobalPropSet(c_cfgStageGroup, info.stageID);
    cfg::Flush();
    CreateDriver(info);
    return ActivateStage(info);
}

bool CStageManager::ReInitialize(const tStageInfo& info)
{
    UnregisterStage(info);
    CreateDriver(info);
    return ActivateStage(info);
}

bool CStageManager::UpdateStage(const std::uint32_t& stageID)
{
    std::shared_ptr<CLowLevelStage> low;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_lowLevel.find(stageID);
        if (it == m_lowLevel.end())
            return false;
        low = it->second;
    }
    return low->Init() == c_OK;
}

bool CStageManager::IsActiveStage(const std::uint32_t& stageID) const { return bool(Acquire(stageID)); }

CStageRef CStageManager::Acquire(std::uint32_t stageID) const
{
    for (detail::tStageSlot* slot = m_slots.load(); slot; slot = slot->next.load()) {
        if (slot->stageID.load(std::memory_order_relaxed) != stageID)
            continue;
        slot->inFlight.fetch_add(1);
        if (slot->live.load() && slot->stageID.load() == stageID)
            return CStageRef(*slot, slot->active->access.get());
        Release(*slot); // retired, or reused for another stage, meanwhile
    }
    return {};
}

CStageAccess* CStageManager::GetStage(const std::uint32_t& stageID) const { return Acquire(stageID).get(); }

CMediumLevelStage* CStageManager::GetMediumLevel(const std::uint32_t& stageID) const
{
    const CStageRef held = Acquire(stageID);
    return held ? &held->GetMediumLevel() : nullptr;
}

CLowLevelStage* CStageManager::GetLowLevel(const std::uint32_t& stageID) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_lowLevel.find(stageID);
    return it == m_lowLevel.end() ? nullptr : it->second.get();
}

CStageAccess* GetStageAccess(std::uint32_t stageID) { return CStageManager::StageManager().GetStage(stageID); }

} // namespace stg
