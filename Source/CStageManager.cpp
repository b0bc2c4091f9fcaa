#include <plinth/CStageManager.h>

#include <utility>
#include <vector>

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

using utl::EPropertyScope;

// Every property of the library, in registration order, with what a person needs to set it. The
// defaults are what the library goes by while a stage has not stored the property.
std::vector<utl::tPropertyInfo> LibraryProperties()
{
    std::vector<utl::tPropertyInfo> rows;
    const auto declare = [&rows](const wchar_t* name, int id, int type, EPropertyScope scope,
                                 const wchar_t* description) -> utl::tPropertyInfo& {
        utl::tPropertyInfo info;
        info.name = name;
        info.id = id;
        info.type = type;
        info.scope = scope;
        info.description = description;
        rows.push_back(std::move(info));
        return rows.back();
    };
    const auto stage = EPropertyScope::Stage;
    const auto axis = EPropertyScope::Axis;
    declare(L"Axes", c_propAxes, c_typePropSetVector, stage, L"the settings of every axis (set by the driver)");
    declare(L"AxisNo", c_propAxisNo, mem::c_tInt, axis, L"the driver's number of the axis");
    declare(L"PrecisionEnabled", c_propPrecisionEnabled, mem::c_tBool, stage,
            L"moves correct backlash and X/Y non-orthogonality in software")
        .defaultValue = mem::CBin::Of(false);
    declare(L"PropSetIDs", c_propPropSetIDs, c_typePropSetIDs, stage, L"IDs of the stage's property sets");
    declare(L"AxisEnabled", c_propAxisEnabled, mem::c_tBool, axis, L"the axis takes part in moves");
    declare(L"AxisType", c_propAxisType, mem::c_tInt, axis, L"X, Y or Z (1, 2, 3; set by the driver)");
    declare(L"hasLimitSwitch", c_propHasLimitSwitch, mem::c_tBool, axis, L"the axis has end switches");
    declare(L"useLimitSwitch", c_propUseLimitSwitch, mem::c_tBool, axis, L"the range search uses the end switches");
    declare(L"hasFixedUpperLimit", c_propHasFixedUpperLimit, mem::c_tBool, axis,
            L"the upper limit is fixed by the driver");
    declare(L"hasFixedLowerLimit", c_propHasFixedLowerLimit, mem::c_tBool, axis,
            L"the lower limit is fixed by the driver");
    declare(L"hasLLRangeDetection", c_propHasLLRangeDetection, mem::c_tBool, axis,
            L"the driver searches the range itself");
    declare(L"Calibration", c_propCalibration, mem::c_tUnitDouble, axis, L"the length of one tick");
    declare(L"Minimum", c_propMinimum, mem::c_tInt64, axis, L"lower limit (set with plinth limits)").unit = L"ticks";
    declare(L"Maximum", c_propMaximum, mem::c_tInt64, axis, L"upper limit (set with plinth limits)").unit = L"ticks";
    declare(L"SpeedMin", c_propSpeedMin, mem::c_tDouble, axis, L"the slowest speed the driver takes").unit = L"ticks/s";
    declare(L"SpeedMax", c_propSpeedMax, mem::c_tDouble, axis, L"the fastest speed the driver takes").unit = L"ticks/s";
    declare(L"Speed", c_propSpeed, mem::c_tDouble, axis, L"the speed of moves").unit = L"ticks/s";
    declare(L"Pitch", c_propPitch, mem::c_tDouble, axis, L"the spindle pitch");
    declare(L"ModifySpeed", c_propModifySpeed, mem::c_tBool, axis, L"the speed may be changed");
    declare(L"ModifyPitch", c_propModifyPitch, mem::c_tBool, axis, L"the pitch may be changed");
    declare(L"LastPosition", c_propLastPosition, mem::c_tInt64, axis, L"where the axis stood when the stage closed")
        .unit = L"ticks";
    declare(L"BacklashEnable", c_propBacklashEnable, mem::c_tBool, stage, L"precision mode corrects backlash")
        .defaultValue = mem::CBin::Of(false);
    declare(L"NonOrthoEnable", c_propNonOrthoEnable, mem::c_tBool, stage,
            L"precision mode corrects the X/Y angle (AngleXY)")
        .defaultValue = mem::CBin::Of(false);
    declare(L"NonLinearEnable", c_propNonLinearEnable, mem::c_tBool, stage, L"non-linearity correction (unused)");
    declare(L"ExistsHWBacklash", c_propExistsHWBacklash, mem::c_tBool, stage,
            L"the controller corrects backlash itself");
    declare(L"UseHWBacklash", c_propUseHWBacklash, mem::c_tBool, stage,
            L"leave backlash to the controller (software correction needs false)");
    declare(L"SWBacklashType", c_propSWBacklashType, mem::c_tInt, stage, L"kind of software backlash (unused)");
    declare(L"OffsetSWBL", c_propOffsetSWBL, mem::c_tInt64, axis,
            L"overshoot of software backlash correction on moves in the negative direction")
        .defaultValue = mem::CBin::Of(std::int64_t{0});
    rows.back().unit = L"ticks";
    declare(L"AngleXY", c_propAngleXY, mem::c_tDouble, stage, L"the angle between the X and Y axes");
    rows.back().unit = L"deg";
    rows.back().defaultValue = mem::CBin::Of(90.0);
    declare(L"ModeSetLimit", c_propModeSetLimit, mem::c_tBool, axis,
            L"the user is setting the limits (true forgets them)")
        .defaultValue = mem::CBin::Of(false);
    declare(L"HasAdvancedSpeed", c_propHasAdvancedSpeed, mem::c_tBool, axis, L"the driver has speed profiles");
    declare(L"AxisInverted", c_propAxisInverted, mem::c_tBool, axis, L"positions count the other way round")
        .defaultValue = mem::CBin::Of(false);
    declare(L"AllowEscape", c_propAllowEscape, mem::c_tBool, axis, L"Z may escape (true on Z by default)")
        .defaultValue = mem::CBin::Of(false);
    declare(L"OffsetPosition", c_propOffsetPosition, mem::c_tInt64, axis, L"added to every position the driver reports")
        .defaultValue = mem::CBin::Of(std::int64_t{0});
    rows.back().unit = L"ticks";
    declare(L"MirrorLoadPosition", c_propMirrorLoadPosition, mem::c_tBool, axis,
            L"the load position lies at the other end of this axis");
    return rows;
}

// The library's registration with the host application, for as long as the library is loaded.
constexpr const char* c_extensionName = "Plinth";

struct tHostRegistration {
    tHostRegistration() { appRegisterExtension(c_extensionName); }
    ~tHostRegistration() { appUnregisterExtension(c_extensionName); }
};

} // namespace

CStageManager& CStageManager::StageManager()
{
    static CStageManager* const manager = new CStageManager(); // never destroyed
    return *manager;
}

// Made when the library is loaded (or earlier, by a first use from another static object), before
// the host registration below (same file, so in this order).
CStageManager& CStageManager::ms_StageManager = StageManager();
static tHostRegistration s_hostRegistration;

CStageManager::CStageManager() : m_propSet(boost::make_shared<utl::CPropSet>()), m_eventID(GetStageEventID())
{
    RegisterProps();
    cfg::PlugGlobalPropSet(c_cfgStageGroup, c_cfgManagerSetID, m_propSet, false);
}

bool CStageManager::RegisterProps()
{
    bool all = true;
    for (const auto& row : LibraryProperties())
        all = utl::RegisterProperty(row) && all;
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
