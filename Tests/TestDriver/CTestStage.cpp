#include "CTestStage.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <type_traits>

namespace stgtest {

CInjectedFault::CInjectedFault(ESlot s)
    : std::runtime_error("injected fault in slot " + std::to_string(static_cast<int>(s))), slot(s)
{
}

std::set<ESlot> AllSlots()
{
    std::set<ESlot> slots;
    for (int s = static_cast<int>(ESlot::SetAdvancedSpeed); s <= static_cast<int>(ESlot::MoveToPosAtSpeed); ++s)
        slots.insert(static_cast<ESlot>(s));
    return slots;
}

CTestStage::CTestStage(std::uint32_t stageID, tTestStageConfig config)
    : CLowLevelStage(stageID), m_config(std::move(config))
{
    if (m_config.constructorThrows)
        throw std::runtime_error("the test driver was told to fail");
    SetCaps(m_config.caps);
    if (m_config.concurrentStop)
        EnableConcurrentStop();
    if (m_config.readThrough)
        DeclareReadThrough();
}

void CTestStage::ReleaseHeld()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
    }
    m_holdEnded.notify_all();
}

bool CTestStage::HeldUntilStopped()
{
    if (m_config.holdBlockingSlots) {
        // StopMoving counts the stop before StopMovingImpl takes m_mutex to notify: no lost wake-up.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_holdEnded.wait_for(lock, std::chrono::seconds(60), [&] { return m_released || IsStopRequested(); });
    }
    return IsStopRequested();
}

template <class Library, class Own>
auto CTestStage::Slot(ESlot slot, Library&& library, Own&& own) const -> decltype(library())
{
    using Answer = decltype(library());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(slot);
    }
    if (m_config.onCall)
        m_config.onCall(slot);
    if (const tFault* fault = FaultFor(slot)) {
        if (fault->throws)
            throw CInjectedFault(slot);
        if constexpr (std::is_same_v<Answer, bool>)
            return fault->code == stg::c_OK;
        else if constexpr (std::is_same_v<Answer, int>)
            return fault->code;
    }
    if (m_config.implemented.count(slot))
        return own();
    return library();
}

const tFault* CTestStage::FaultFor(ESlot slot) const
{
    auto it = m_config.faults.find(slot);
    if (it == m_config.faults.end())
        return nullptr;
    return it->second.onCall == 0 || it->second.onCall == CallCount(slot) ? &it->second : nullptr;
}

std::vector<ESlot> CTestStage::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

int CTestStage::CallCount(ESlot slot) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), slot));
}

void CTestStage::ClearCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

std::map<int, std::int64_t> CTestStage::Positions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_positions;
}

void CTestStage::SetPositions(const std::map<int, std::int64_t>& positions)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [axis, ticks] : positions)
        m_positions[axis] = ticks;
}

std::map<int, std::int64_t> CTestStage::LastTargets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_moves.empty() ? std::map<int, std::int64_t>() : m_moves.back();
}

std::vector<std::map<int, std::int64_t>> CTestStage::Moves() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_moves;
}

std::map<int, double> CTestStage::LastSpeeds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastSpeeds;
}

std::int64_t CTestStage::LimitOf(int axis, int propID) const
{
    mem::CBin value;
    std::int64_t ticks = 0;
    if (CLowLevelStage::GetPropertyVesselImpl(axis, propID, value) == stg::c_OK)
        value.Get(ticks);
    return ticks;
}

int CTestStage::InitImpl()
{
    return Slot(
        ESlot::Init, [&] { return CLowLevelStage::InitImpl(); },
        [&] {
            for (const auto& props : m_config.axes) {
                AddAxis(props, m_config.freshAxes);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_positions.emplace(props.axisNo, 0);
            }
            return m_config.pushStoredSettings ? CLowLevelStage::InitImpl() : stg::c_OK;
        });
}

int CTestStage::ExitImpl()
{
    return Slot(
        ESlot::Exit, [&] { return CLowLevelStage::ExitImpl(); }, [] { return stg::c_OK; });
}

bool CTestStage::CheckConnectionImpl()
{
    return Slot(
        ESlot::CheckConnection, [&] { return CLowLevelStage::CheckConnectionImpl(); },
        [&] { return m_config.connected; });
}

// The vessels keep the library's storage; implementing them only adds recording and faults.
int CTestStage::GetPropertyVesselImpl(const int& propID, mem::CBin& value) const
{
    const auto library = [&] { return CLowLevelStage::GetPropertyVesselImpl(propID, value); };
    return Slot(ESlot::GetStageProperty, library, library);
}

int CTestStage::GetPropertyVesselImpl(const int& axis, const int& propID, mem::CBin& value) const
{
    const auto library = [&] { return CLowLevelStage::GetPropertyVesselImpl(axis, propID, value); };
    return Slot(ESlot::GetAxisProperty, library, library);
}

void CTestStage::SetPropertyVesselImpl(const int& propID, const mem::CBin& value)
{
    const auto library = [&] { CLowLevelStage::SetPropertyVesselImpl(propID, value); };
    Slot(ESlot::SetStageProperty, library, library);
}

int CTestStage::SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value)
{
    const auto library = [&] { return CLowLevelStage::SetPropertyVesselImpl(axis, propID, value); };
    return Slot(ESlot::SetAxisProperty, library, library);
}

bool CTestStage::AreLimitsDefinedImpl(const int* axis)
{
    const auto library = [&] { return CLowLevelStage::AreLimitsDefinedImpl(axis); };
    return Slot(ESlot::AreLimitsDefined, library, library);
}

int CTestStage::UndefineLimitsImpl(const Axes& axes)
{
    const auto library = [&] { return CLowLevelStage::UndefineLimitsImpl(axes); };
    return Slot(ESlot::UndefineLimits, library, library);
}

int CTestStage::GetAxisLimitsImpl(const int& axis, std::int64_t& lower, std::int64_t& upper) const
{
    const auto library = [&] { return CLowLevelStage::GetAxisLimitsImpl(axis, lower, upper); };
    return Slot(ESlot::GetAxisLimits, library, library);
}

int CTestStage::SetAxisLimitsImpl(const int& axis, std::int64_t lower, std::int64_t upper)
{
    const auto library = [&] { return CLowLevelStage::SetAxisLimitsImpl(axis, lower, upper); };
    return Slot(ESlot::SetAxisLimits, library, library);
}

int CTestStage::EnableUserControlImpl(bool enable)
{
    return Slot(
        ESlot::EnableUserControl, [&] { return CLowLevelStage::EnableUserControlImpl(enable); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_userControl = enable;
            return stg::c_OK;
        });
}

bool CTestStage::IsUserControlEnabledImpl() const
{
    return Slot(
        ESlot::IsUserControlEnabled, [&] { return CLowLevelStage::IsUserControlEnabledImpl(); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_userControl;
        });
}

int CTestStage::MoveFreeImpl(const SpeedMap& speeds)
{
    return Slot(
        ESlot::MoveFree, [&] { return CLowLevelStage::MoveFreeImpl(speeds); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (IsStopRequested())
                return stg::c_Stopped;
            m_lastSpeeds = speeds;
            m_freeRunning = !speeds.empty();
            return stg::c_OK;
        });
}

int CTestStage::MoveToPosImpl(const TickMap& targets)
{
    return Slot(
        ESlot::MoveToPos, [&] { return CLowLevelStage::MoveToPosImpl(targets); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_moves.push_back(targets);
            if (IsStopRequested())
                return stg::c_Stopped;
            m_pending = targets;
            return stg::c_OK;
        });
}

int CTestStage::MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds)
{
    return Slot(
        ESlot::MoveToPosAtSpeed, [&] { return CLowLevelStage::MoveToPosAtSpeedImpl(targets, speeds); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_moves.push_back(targets);
            m_lastSpeeds = speeds;
            if (IsStopRequested())
                return stg::c_Stopped;
            m_pending = targets;
            return stg::c_OK;
        });
}

bool CTestStage::IsMovingImpl(const Axes& axes)
{
    return Slot(
        ESlot::IsMoving, [&] { return CLowLevelStage::IsMovingImpl(axes); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_freeRunning)
                return true;
            return std::any_of(axes.begin(), axes.end(), [&](int a) { return m_pending.count(a) > 0; });
        });
}

int CTestStage::WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs)
{
    return Slot(
        ESlot::WaitForStop, [&] { return CLowLevelStage::WaitForStopImpl(axes, timeoutMs); },
        [&] {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (IsStopRequested())
                    return stg::c_Stopped; // a stop since the wait was asked for ended the move
                const bool moving = m_freeRunning || std::any_of(axes.begin(), axes.end(),
                                                                 [&](int a) { return m_pending.count(a) > 0; });
                if (!moving)
                    return stg::c_OK;
                if (timeoutMs == 0 || m_freeRunning)
                    return stg::c_Timeout;
            }
            if (HeldUntilStopped())
                return stg::c_Stopped; // the stop abandoned the pending move
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& [axis, target] : m_pending)
                m_positions[axis] = target;
            m_pending.clear();
            return stg::c_OK;
        });
}

int CTestStage::StopMovingImpl()
{
    return Slot(
        ESlot::StopMoving, [&] { return CLowLevelStage::StopMovingImpl(); },
        [&] {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_pending.clear();
                m_freeRunning = false;
            }
            m_holdEnded.notify_all();
            return stg::c_OK;
        });
}

int CTestStage::SetPositionImpl(const TickMap& targets)
{
    return Slot(
        ESlot::SetPosition, [&] { return CLowLevelStage::SetPositionImpl(targets); },
        [&] {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_moves.push_back(targets);
            }
            if (HeldUntilStopped())
                return stg::c_Stopped;
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& [axis, target] : targets)
                m_positions[axis] = target;
            return stg::c_OK;
        });
}

int CTestStage::GetPositionImpl(TickMap& positions, const stg::ESelection& selection)
{
    return Slot(
        ESlot::GetPosition, [&] { return CLowLevelStage::GetPositionImpl(positions, selection); },
        [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (selection == stg::eAllAxes)
                positions = m_positions;
            for (auto& [axis, ticks] : positions) {
                auto it = m_positions.find(axis);
                if (it == m_positions.end())
                    return stg::c_NoSuchAxis;
                ticks = it->second;
            }
            return stg::c_OK;
        });
}

int CTestStage::GotoUpperLimitImpl(const Axes& axes)
{
    return Slot(
        ESlot::GotoUpperLimit, [&] { return CLowLevelStage::GotoUpperLimitImpl(axes); },
        [&] {
            if (HeldUntilStopped())
                return stg::c_Stopped;
            for (int axis : axes)
                SetPositions({{axis, LimitOf(axis, stg::c_propMaximum)}});
            return stg::c_OK;
        });
}

int CTestStage::GotoLowerLimitImpl(const Axes& axes)
{
    return Slot(
        ESlot::GotoLowerLimit, [&] { return CLowLevelStage::GotoLowerLimitImpl(axes); },
        [&] {
            if (HeldUntilStopped())
                return stg::c_Stopped;
            for (int axis : axes)
                SetPositions({{axis, LimitOf(axis, stg::c_propMinimum)}});
            return stg::c_OK;
        });
}

int CTestStage::InitRangesImpl(const Axes& axes)
{
    return Slot(
        ESlot::InitRanges, [&] { return CLowLevelStage::InitRangesImpl(axes); },
        [&] {
            if (HeldUntilStopped())
                return stg::c_Stopped;
            // Found ends are written through the public limits, so the stage events fire.
            for (int axis : axes) {
                auto range = m_config.hardwareRanges.find(axis);
                if (range == m_config.hardwareRanges.end())
                    return stg::c_NoSuchAxis;
                const int rc = SetAxisLimits(axis, range->second.first, range->second.second);
                if (rc != stg::c_OK)
                    return rc;
            }
            return stg::c_OK;
        });
}

} // namespace stgtest
