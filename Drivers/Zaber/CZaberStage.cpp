#include "CZaberStage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

namespace zaber {
namespace {

using stg::c_OK;
using Clock = std::chrono::steady_clock;

// The status poll. Every reply carries BUSY or IDLE and the flag; a command of an address and an
// axis alone would be cheaper, but that it is answered with a message ID is unconfirmed, while
// "get pos" is documented (and answers at once while the axis moves).
constexpr const char* c_statusPoll = "get pos";
// Between two status polls of an axis whose device sends no alerts.
constexpr int c_pollMs = 20;
// Between two status polls while alerts are awaited: only a safety net for a lost alert.
constexpr int c_alertSafetyPollMs = 1000;
// Quiet time that ends the collection of replies to a broadcast.
constexpr int c_discoveryQuietMs = 150;
// How long a stop may take to bring the axes to rest.
constexpr int c_stopLimitMs = 30'000;
constexpr double c_maxSpeedMicrostepsPerS = 64 * 16384 / c_nativeSpeedPerMicrostepPerS; // at resolution 64

constexpr stg::EAxisType c_types[] = {stg::eAxisX, stg::eAxisY, stg::eAxisZ};
constexpr const char* c_typeNames[] = {"X", "Y", "Z"};

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += static_cast<char>(c < 128 ? c : '?');
    return narrow;
}

// The flag's meaning, for messages.
std::string FlagMeaning(const std::string& flag)
{
    static const std::map<std::string, std::string> meanings = {
        {"FD", "driver disabled (overheated or out of range)"},
        {"FQ", "encoder error, the position may be wrong"},
        {"FS", "stalled, the axis stopped itself"},
        {"FT", "lockstep group twisted"},
        {"FB", "stream bounds error"},
        {"FP", "path deviation"},
        {"FE", "limit error: a limit sensor was not reached"},
        {"FF", "critical system error"},
        {"FV", "supply voltage out of range, driver disabled"},
        {"FI", "index error"},
        {"FA", "analog encoder error"},
        {"WL", "a limit sensor ended the move early"},
        {"WR", "no position reference"},
        {"WH", "not homed"},
    };
    const auto it = meanings.find(flag);
    return it != meanings.end() ? it->second : "warning " + flag;
}

std::string NoReference(const std::string& name)
{
    return name + " has no reference position; run the range search (plinth limits --init)";
}

bool IsFault(const std::string& flag) { return (flag.size() == 2 && flag[0] == 'F') || flag == "WL"; }

bool ParseTicks(const std::string& text, std::int64_t& value)
{
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        return false;
    value = parsed;
    return true;
}

} // namespace

CZaberStage::CZaberStage(std::uint32_t stageID) : CLowLevelStage(stageID)
{
    utl::RegisterProperty(L"ZaberPort", c_propZaberPort, mem::c_tWString);
    utl::RegisterProperty(L"ZaberBaud", c_propZaberBaud, mem::c_tInt);
    utl::RegisterProperty(L"ZaberAxisMap", c_propZaberAxisMap, mem::c_tWString);
    utl::RegisterProperty(L"ZaberReplyTimeout", c_propZaberReplyTimeout, mem::c_tInt);
    utl::RegisterProperty(L"DriverMessage", c_propDriverMessage, mem::c_tWString);
    // The settings show in the stage set from the start; stored ones are kept.
    std::wstring text;
    std::int32_t number = 0;
    if (stg::ReadStageProperty(*this, c_propZaberPort, text) != c_OK)
        stg::WriteStageProperty(*this, c_propZaberPort, std::wstring());
    if (stg::ReadStageProperty(*this, c_propZaberBaud, number) != c_OK)
        stg::WriteStageProperty(*this, c_propZaberBaud, std::int32_t{115200});
    if (stg::ReadStageProperty(*this, c_propZaberAxisMap, text) != c_OK)
        stg::WriteStageProperty(*this, c_propZaberAxisMap, std::wstring());
    if (stg::ReadStageProperty(*this, c_propZaberReplyTimeout, number) != c_OK)
        stg::WriteStageProperty(*this, c_propZaberReplyTimeout, std::int32_t{1000});
    EnableConcurrentStop();
}

CZaberStage::~CZaberStage()
{
    if (m_link)
        m_link->Close();
}

void CZaberStage::Say(const std::string& message) const
{
    // Straight into the set (it locks itself): the stop says things without the stage lock.
    mem::CBin bin;
    bin.Store(std::wstring(message.begin(), message.end()));
    GetPropSet()->SetProperty(c_propDriverMessage, bin);
}

const CZaberStage::tTarget* CZaberStage::Find(int axis) const
{
    const auto it = m_targets.find(axis);
    return it == m_targets.end() ? nullptr : &it->second;
}

unsigned CZaberStage::Stops() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stops;
}

void CZaberStage::OnAlert(const tMessage& alert)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_alerts[{alert.address, alert.axis}];
    }
    m_changed.notify_all();
}

// Life cycle

int CZaberStage::InitImpl()
{
    std::wstring port, map;
    std::int32_t baud = 115200, timeoutMs = 1000;
    stg::ReadStageProperty(*this, c_propZaberPort, port);
    stg::ReadStageProperty(*this, c_propZaberBaud, baud);
    stg::ReadStageProperty(*this, c_propZaberAxisMap, map);
    stg::ReadStageProperty(*this, c_propZaberReplyTimeout, timeoutMs);
    const std::string path = Narrow(port);

    auto link = std::make_shared<CZaberLink>();
    link->SetAlertHandler([this](const tMessage& alert) { OnAlert(alert); });
    link->SetReplyTimeout(timeoutMs > 0 ? timeoutMs : 1000);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_link)
            m_link->Close();
        m_link = link;
        m_targets.clear();
        m_alerts.clear();
    }
    if (path.empty())
        return Fail(stg::c_GeneralFailure, "no serial port set (plinth --port /dev/ttyUSB0, setting ZaberPort)");
    const ELink opened = link->Open(path, baud);
    if (opened != ELink::eOK)
        return Fail(stg::c_GeneralFailure, link->LastError());

    // Discovery: every device on the chain answers a broadcast with its axis count.
    std::vector<tMessage> replies;
    if (link->Broadcast("get system.axiscount", c_discoveryQuietMs, replies) != ELink::eOK)
        return Fail(stg::c_Timeout, "no Zaber device answered on " + path + " at " + std::to_string(baud) +
                                        " baud (is it in ASCII mode, at that rate?)");
    std::map<int, int> devices; // address -> axis count
    for (const tMessage& reply : replies) {
        std::int64_t count = 0;
        if (reply.accepted && !reply.data.empty() && ParseTicks(reply.data[0], count) && count > 0)
            devices[reply.address] = static_cast<int>(count);
    }
    std::map<int, bool> alerts;
    for (const auto& entry : devices) {
        tMessage reply;
        alerts[entry.first] = link->Request(entry.first, 0, "set comm.alert 1", reply) == ELink::eOK && reply.accepted;
    }

    // X, Y, Z from the map, or from the chain in order.
    std::vector<std::pair<int, int>> chain;
    for (const auto& [address, count] : devices)
        for (int axis = 1; axis <= count; ++axis)
            chain.emplace_back(address, axis);
    Targets targets;
    const std::string mapText = Narrow(map);
    if (mapText.find_first_not_of(" ,") == std::string::npos || mapText == "auto") {
        for (std::size_t i = 0; i < chain.size() && i < 3; ++i)
            targets[static_cast<int>(i) + 1] = tTarget{chain[i].first, chain[i].second, false, c_typeNames[i]};
    } else {
        std::string spaced = mapText;
        std::replace(spaced.begin(), spaced.end(), ',', ' ');
        std::istringstream items(spaced);
        for (std::string item; items >> item;) {
            const std::size_t eq = item.find('='), dot = item.find('.', eq == std::string::npos ? 0 : eq);
            const std::string key = item.substr(0, eq);
            const int index = key == "X" || key == "x"   ? 0
                              : key == "Y" || key == "y" ? 1
                              : key == "Z" || key == "z" ? 2
                                                         : -1;
            int address = 0, axis = 0;
            if (eq != std::string::npos && dot != std::string::npos) {
                address = std::atoi(item.substr(eq + 1, dot - eq - 1).c_str());
                axis = std::atoi(item.substr(dot + 1).c_str());
            }
            if (index < 0 || std::find(chain.begin(), chain.end(), std::make_pair(address, axis)) == chain.end())
                return Fail(stg::c_GeneralFailure, "the axis map \"" + mapText + "\" names " + item +
                                                       ", which is no axis on the chain (write X=1.1 Y=1.2 Z=2.1)");
            targets[index + 1] = tTarget{address, axis, false, c_typeNames[index]};
        }
    }
    for (auto& entry : targets)
        entry.second.alerts = alerts[entry.second.address];
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targets = targets;
    }

    for (const auto& [axisNo, target] : targets) {
        stg::tAxisProps props;
        props.axisNo = axisNo;
        props.axisType = c_types[axisNo - 1];
        props.hasLimitSwitch = true;
        props.useLimitSwitch = true;
        props.hasLLRangeDetection = true; // the range search homes and reads the device's limits
        props.calibration = utl::TUnitValue<double>(c_defaultMicrostepUm, utl::c_mum);
        props.speedMin = 1.0;
        props.speedMax = c_maxSpeedMicrostepsPerS;
        props.speed = 50'000.0;
        tMessage reply;
        std::int64_t maxspeed = 0;
        if (Command(target, "get maxspeed", reply, stg::c_GeneralFailure) == c_OK && !reply.data.empty() &&
            ParseTicks(reply.data[0], maxspeed) && maxspeed > 0)
            props.speed = static_cast<double>(maxspeed) / c_nativeSpeedPerMicrostepPerS;
        props.modifySpeed = true;
        AddAxis(props, false);
    }
    Say("");
    return CLowLevelStage::InitImpl(); // the stored settings, "Speed" among them, reach the devices
}

int CZaberStage::ExitImpl()
{
    if (m_link)
        m_link->Close();
    return c_OK;
}

bool CZaberStage::CheckConnectionImpl()
{
    if (!m_link || !m_link->IsUp())
        return false;
    std::set<int> addresses;
    for (const auto& entry : m_targets)
        addresses.insert(entry.second.address);
    for (int address : addresses) {
        tMessage reply;
        if (m_link->Request(address, 0, "get system.axiscount", reply) != ELink::eOK)
            return false;
    }
    return true;
}

int CZaberStage::SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value)
{
    if (propID == stg::c_propSpeed) {
        double speed = 0.0;
        if (!value.Get(speed) || !std::isfinite(speed) || !(speed > 0.0))
            return stg::c_InvalidValue;
        const tTarget* target = Find(axis);
        if (target && m_link && m_link->IsUp()) {
            const auto native = std::llround(speed * c_nativeSpeedPerMicrostepPerS);
            tMessage reply;
            const int rc = Command(*target, "set maxspeed " + std::to_string(native), reply, stg::c_InvalidValue);
            if (rc != c_OK)
                return rc;
        }
    }
    return CLowLevelStage::SetPropertyVesselImpl(axis, propID, value);
}

// Talking to the devices

int CZaberStage::Command(const tTarget& target, const std::string& words, tMessage& reply, int badData) const
{
    if (!m_link)
        return Fail(stg::c_GeneralFailure, "the port is not open");
    switch (m_link->Request(target.address, target.axis, words, reply)) {
    case ELink::eOK:
        break;
    case ELink::eTimeout:
        return Fail(stg::c_Timeout, m_link->LastError());
    default:
        return Fail(stg::c_GeneralFailure, "the port went away (" + m_link->LastError() + "); re-activate the stage");
    }
    if (reply.accepted)
        return c_OK;
    const std::string reason = reply.data.empty() ? "" : reply.data[0];
    const std::string what = target.name + " (device " + std::to_string(target.address) + " axis " +
                             std::to_string(target.axis) + ") refused \"" + words + "\": " + reason;
    if (reason == "BADDATA" && (reply.flag == "WR" || reply.flag == "WH"))
        return Fail(stg::c_LimitsNotDefined, NoReference(target.name));
    if (reason == "BADDATA")
        return Fail(badData, what + " (value out of range)");
    if (reason == "BADCOMMAND")
        return Fail(stg::c_NotImplemented, what + " (the device does not know it)");
    if (reason == "BADAXIS")
        return Fail(stg::c_NoSuchAxis, what + " (the device has no such axis)");
    if (reason == "PARKED" || reason == "STATUSBUSY" || reason == "DEVICEMOVING" || reason == "AGAIN")
        return Fail(stg::c_Busy, what);
    // DEVICEONLY, NOACCESS, LOCKSTEP, FULL, BADMESSAGEID and reasons of later firmware.
    return Fail(stg::c_GeneralFailure, what);
}

int CZaberStage::CommandAll(const TickMap& values, const std::string& verb, int badData, bool needsReference,
                            unsigned stopsBefore)
{
    Axes axes;
    for (const auto& entry : values) {
        if (!Find(entry.first))
            return stg::c_NoSuchAxis;
        axes.push_back(entry.first);
    }
    for (const auto& [axis, value] : values) {
        tMessage reply;
        const int rc = Command(*Find(axis), verb + std::to_string(value), reply, badData);
        if (rc != c_OK)
            return rc;
        if (needsReference) {
            const int refused = RefuseUnreferenced(*Find(axis), reply);
            if (refused != c_OK)
                return refused;
        }
    }
    return StopIfStopped(axes, stopsBefore);
}

int CZaberStage::StopIfStopped(const Axes& axes, unsigned stopsBefore) const
{
    if (Stops() == stopsBefore)
        return c_OK;
    for (int axis : axes)
        if (const tTarget* target = Find(axis)) {
            tMessage stopped;
            m_link->Request(target->address, target->axis, "stop", stopped);
        }
    return Fail(stg::c_Stopped, "stopped");
}

int CZaberStage::RefuseUnreferenced(const tTarget& target, const tMessage& reply) const
{
    // Firmware 6.06 refuses such a move (BADDATA with WR, see Command). Later firmware may accept
    // it and run slowly (unconfirmed): the move is stopped at once and refused the same way.
    if (reply.flag != "WR" && reply.flag != "WH")
        return c_OK;
    tMessage stopped;
    m_link->Request(target.address, target.axis, "stop", stopped);
    return Fail(stg::c_LimitsNotDefined, NoReference(target.name));
}

int CZaberStage::FaultOf(const tTarget& target, const tMessage& reply) const
{
    if (!IsFault(reply.flag))
        return c_OK;
    // Reported once: cleared so that the next move can start.
    tMessage cleared;
    m_link->Request(target.address, target.axis, "warnings clear", cleared);
    return Fail(c_DeviceFault, target.name + " (device " + std::to_string(target.address) + " axis " +
                                   std::to_string(target.axis) + "): " + reply.flag + ", " + FlagMeaning(reply.flag));
}

int CZaberStage::WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore)
{
    for (int axis : axes)
        if (!Find(axis))
            return stg::c_NoSuchAxis;
    const bool limited = timeoutMs != stg::c_waitForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    const auto alertsOf = [this](const tTarget& target) { // expects m_mutex held
        return m_alerts[{target.address, target.axis}] + m_alerts[{target.address, 0}];
    };
    // The axes still moving, each with the alert count at its last poll. An axis whose device
    // sends alerts is polled again only when an alert came for it (or, as a safety net for a lost
    // alert, after c_alertSafetyPollMs); the others every c_pollMs.
    std::map<int, unsigned> moving;
    for (int axis : axes)
        moving[axis] = ~0u;
    Clock::time_point safetyPoll = Clock::now() + std::chrono::milliseconds(c_alertSafetyPollMs);
    for (;;) {
        const bool safety = Clock::now() >= safetyPoll;
        if (safety)
            safetyPoll = Clock::now() + std::chrono::milliseconds(c_alertSafetyPollMs);
        for (auto it = moving.begin(); it != moving.end();) {
            const tTarget& target = *Find(it->first);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stops != stopsBefore)
                    return Fail(stg::c_Stopped, "stopped");
                const unsigned alerts = alertsOf(target); // before the poll: no alert after it is missed
                if (target.alerts && !safety && alerts == it->second) {
                    ++it;
                    continue;
                }
                it->second = alerts;
            }
            tMessage reply;
            const int rc = Command(target, c_statusPoll, reply, stg::c_GeneralFailure);
            if (rc != c_OK)
                return rc;
            if (reply.busy) {
                ++it;
                continue;
            }
            const int fault = FaultOf(target, reply);
            if (fault != c_OK)
                return fault;
            it = moving.erase(it);
        }
        if (moving.empty())
            return c_OK;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (limited && Clock::now() >= deadline)
            return stg::c_Timeout;
        const bool polling =
            std::any_of(moving.begin(), moving.end(), [&](const auto& entry) { return !Find(entry.first)->alerts; });
        Clock::time_point wake = polling ? Clock::now() + std::chrono::milliseconds(c_pollMs) : safetyPoll;
        if (limited)
            wake = std::min(wake, deadline);
        m_changed.wait_until(lock, wake, [&] {
            return m_stops != stopsBefore || std::any_of(moving.begin(), moving.end(), [&](const auto& entry) {
                       return alertsOf(*Find(entry.first)) != entry.second;
                   });
        });
    }
}

// Motion

int CZaberStage::MoveToPosImpl(const TickMap& targets)
{
    return CommandAll(targets, "move abs ", stg::c_TargetOutOfRange, true, Stops());
}

int CZaberStage::SetPositionImpl(const TickMap& targets)
{
    const unsigned stops = Stops();
    const int rc = CommandAll(targets, "move abs ", stg::c_TargetOutOfRange, true, stops);
    if (rc != c_OK)
        return rc;
    Axes axes;
    for (const auto& entry : targets)
        axes.push_back(entry.first);
    return WaitAxes(axes, stg::c_waitForever, stops);
}

int CZaberStage::MoveFreeImpl(const SpeedMap& speeds)
{
    const unsigned stops = Stops();
    TickMap velocities;
    for (const auto& [axis, sign] : speeds) {
        if (!Find(axis))
            return stg::c_NoSuchAxis;
        if (!std::isfinite(sign))
            return stg::c_InvalidValue;
        double speed = 0.0;
        const int rc = stg::ReadAxisProperty(*this, axis, stg::c_propSpeed, speed);
        if (rc != c_OK)
            return rc;
        if (!std::isfinite(speed) || !(speed > 0.0))
            return stg::c_InvalidValue;
        const auto native = std::llround(std::min(speed, c_maxSpeedMicrostepsPerS) * c_nativeSpeedPerMicrostepPerS);
        velocities[axis] = sign > 0.0 ? native : sign < 0.0 ? -native : 0;
    }
    return CommandAll(velocities, "move vel ", stg::c_InvalidValue, false, stops);
}

bool CZaberStage::IsMovingImpl(const Axes& axes)
{
    for (int axis : axes) {
        const tTarget* target = Find(axis);
        tMessage reply;
        if (target && Command(*target, c_statusPoll, reply, stg::c_GeneralFailure) == c_OK && reply.busy)
            return true;
    }
    return false;
}

int CZaberStage::WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs)
{
    return WaitAxes(axes, timeoutMs, Stops());
}

int CZaberStage::StopMovingImpl()
{
    // Any thread, without the stage lock: a blocking slot of another thread may be waiting.
    std::shared_ptr<CZaberLink> link;
    Targets targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_stops;
        link = m_link;
        targets = m_targets;
    }
    m_changed.notify_all();
    if (!link)
        return stg::c_GeneralFailure;
    std::set<std::pair<int, int>> axes;
    for (const auto& entry : targets)
        axes.insert({entry.second.address, entry.second.axis});
    int rc = c_OK;
    for (const auto& [address, axis] : axes) {
        tMessage reply;
        const ELink sent = link->Request(address, axis, "stop", reply);
        if (sent != ELink::eOK && rc == c_OK)
            rc = sent == ELink::eTimeout ? stg::c_Timeout : stg::c_GeneralFailure;
    }
    if (rc != c_OK)
        return Fail(rc, "stop: " + link->LastError());
    // Returns once the axes are at rest, so that the next position read is final.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(c_stopLimitMs);
    for (;;) {
        bool busy = false;
        for (const auto& [address, axis] : axes) {
            tMessage reply;
            if (link->Request(address, axis, c_statusPoll, reply) != ELink::eOK)
                return Fail(stg::c_Timeout, "stop: " + link->LastError());
            busy = busy || reply.busy;
        }
        if (!busy)
            return c_OK;
        if (Clock::now() >= deadline)
            return Fail(stg::c_Timeout, "stop: the axes did not come to rest");
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(c_pollMs));
    }
}

int CZaberStage::GetPositionImpl(TickMap& positions, const stg::ESelection& selection)
{
    if (selection == stg::eAllAxes) {
        positions.clear();
        for (const auto& entry : m_targets)
            positions.emplace(entry.first, 0);
    }
    for (auto& [axis, ticks] : positions) {
        const tTarget* target = Find(axis);
        if (!target)
            return stg::c_NoSuchAxis;
        tMessage reply;
        const int rc = Command(*target, "get pos", reply, stg::c_GeneralFailure);
        if (rc != c_OK)
            return rc;
        if (reply.data.empty() || !ParseTicks(reply.data[0], ticks))
            return Fail(stg::c_GeneralFailure,
                        target->name + ": not a position: " + (reply.data.empty() ? "" : reply.data[0]));
    }
    return c_OK;
}

int CZaberStage::RunToEnd(const Axes& axes, const char* words)
{
    const unsigned stops = Stops();
    for (int axis : axes) {
        tMessage reply;
        const tTarget* target = Find(axis);
        int rc = target ? Command(*target, words, reply, stg::c_TargetOutOfRange) : stg::c_NoSuchAxis;
        if (rc == c_OK)
            rc = RefuseUnreferenced(*target, reply);
        if (rc != c_OK)
            return rc;
    }
    if (const int stopped = StopIfStopped(axes, stops); stopped != c_OK)
        return stopped;
    return WaitAxes(axes, stg::c_waitForever, stops);
}

int CZaberStage::GotoUpperLimitImpl(const Axes& axes) { return RunToEnd(axes, "move max"); }

int CZaberStage::GotoLowerLimitImpl(const Axes& axes) { return RunToEnd(axes, "move min"); }

int CZaberStage::InitRangesImpl(const Axes& axes)
{
    const unsigned stops = Stops();
    for (int axis : axes) {
        tMessage reply;
        const tTarget* target = Find(axis);
        const int rc = target ? Command(*target, "home", reply, stg::c_GeneralFailure) : stg::c_NoSuchAxis;
        if (rc != c_OK)
            return rc;
    }
    if (const int stopped = StopIfStopped(axes, stops); stopped != c_OK)
        return stopped;
    int rc = WaitAxes(axes, stg::c_waitForever, stops);
    for (auto it = axes.begin(); rc == c_OK && it != axes.end(); ++it) {
        const tTarget& target = *Find(*it);
        tMessage low, high;
        std::int64_t lower = 0, upper = 0;
        rc = Command(target, "get limit.min", low, stg::c_GeneralFailure);
        if (rc == c_OK)
            rc = Command(target, "get limit.max", high, stg::c_GeneralFailure);
        if (rc == c_OK && (low.data.empty() || high.data.empty() || !ParseTicks(low.data[0], lower) ||
                           !ParseTicks(high.data[0], upper)))
            rc = Fail(stg::c_GeneralFailure, target.name + ": the device's limits are not numbers");
        if (rc == c_OK)
            rc = SetAxisLimits(*it, lower, upper);
    }
    return rc;
}

} // namespace zaber
