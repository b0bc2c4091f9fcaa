#include "CZaberStage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <sstream>

#include "ZaberProducts.h"

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
constexpr int c_stopQuietMs = 50;
// The range of positions and limits ("limit.min", "limit.max" accept +-1e9).
constexpr std::int64_t c_limitRange = 1'000'000'000;
// Device and peripheral IDs are five-digit numbers; anything far beyond is nonsense.
constexpr std::int64_t c_highestID = 9'999'999;
constexpr int c_highestResolution = 256;

constexpr const char* c_typeNames[] = {"X", "Y", "Z"};
constexpr stg::EAxisType c_types[] = {stg::eAxisX, stg::eAxisY, stg::eAxisZ};

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += static_cast<char>(c < 128 ? c : '?');
    return narrow;
}

// The flag's meaning and, where the user must act, what to do, for messages.
std::string FlagMeaning(const std::string& flag)
{
    static const std::map<std::string, std::string> meanings = {
        {"FD", "driver disabled (overheated or out of range); let it cool down"},
        {"FQ", "encoder error, the position may be wrong; run the range search"},
        {"FS", "stalled, the axis stopped itself"},
        {"FT", "lockstep group twisted"},
        {"FB", "stream bounds error"},
        {"FP", "path deviation"},
        {"FE", "limit error: a limit sensor was not reached"},
        {"FF", "critical system error; power-cycle the device"},
        {"FV", "supply voltage out of range, driver disabled; check the power supply"},
        {"FI", "index error"},
        {"FA", "analog encoder error"},
        {"FZ", "no active stage on this controller axis; connect or configure one (warnings clear does not help)"},
        {"FO", "driver disabled; enable it again (warnings clear does not help)"},
        {"FN", "the controller does not support the connected stage"},
        {"FH", "hardware emergency stop, driver disabled; release it"},
        {"WL", "a limit sensor ended the move early"},
        {"WR", "no position reference"},
        {"WH", "not homed"},
    };
    const auto it = meanings.find(flag);
    return it != meanings.end() ? it->second : "warning " + flag;
}

std::string NoReference(const std::string& name)
{
    return name +
           " is not homed (no position reference, e.g. after power-up); run the range search (plinth limits --init)";
}

bool IsFault(const std::string& flag) { return (flag.size() == 2 && flag[0] == 'F') || flag == "WL"; }
bool IsUnhomed(const std::string& flag) { return flag == "WR" || flag == "WH"; }

// A decimal integer within [lowest, highest]; false for anything else (overflow included).
bool ParseInteger(const std::string& text, std::int64_t lowest, std::int64_t highest, std::int64_t& value)
{
    if (text.empty() || text.size() > 20 || text[0] == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end == text.c_str() || *end != '\0' || parsed < lowest || parsed > highest)
        return false;
    value = parsed;
    return true;
}

// A speed for messages: 1e+30, 640000, 0.610352.
std::string Number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string Where(int address, int axis)
{
    return "device " + std::to_string(address) + " axis " + std::to_string(axis);
}

} // namespace

CZaberStage::CZaberStage(std::uint32_t stageID) : CLowLevelStage(stageID)
{
    // Name, ID, type, level, unit, minimum, maximum, allowed values, description, no default.
    using utl::EPropertyScope;
    std::vector<std::wstring> baudRates;
    for (int rate : plat::BaudRates())
        baudRates.push_back(std::to_wstring(rate));
    utl::RegisterProperty({L"ZaberPort",
                           c_propZaberPort,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {},
                           L"the serial port of the devices, e.g. /dev/serial/by-id/usb-Zaber_...",
                           {}});
    utl::RegisterProperty({L"ZaberBaud",
                           c_propZaberBaud,
                           mem::c_tInt,
                           EPropertyScope::Stage,
                           L"baud",
                           {},
                           {},
                           baudRates,
                           L"the baud rate of the serial port (115200 in ASCII mode)",
                           {}});
    utl::RegisterProperty({L"ZaberAxisMap",
                           c_propZaberAxisMap,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {},
                           L"which device axis drives X, Y and Z (\"X=1.1 Y=1.2 Z=2.1\"; empty or auto: chain order)",
                           {}});
    utl::RegisterProperty({L"ZaberReplyTimeout",
                           c_propZaberReplyTimeout,
                           mem::c_tInt,
                           EPropertyScope::Stage,
                           L"ms",
                           1.0,
                           60000.0,
                           {},
                           L"how long to wait for a reply of the devices",
                           {}});
    utl::RegisterProperty({L"DriverMessage",
                           c_propDriverMessage,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {},
                           L"what the devices or the port last complained about (written by the driver)",
                           {}});
    utl::RegisterProperty({L"ZaberHomeZFirst",
                           c_propZaberHomeZFirst,
                           mem::c_tInt,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {L"0", L"1"},
                           L"1: the range search homes Z before X and Y start; 0: every axis at once",
                           {}});
    utl::RegisterProperty({L"ZaberCalibrationSource",
                           c_propZaberCalibrationSource,
                           mem::c_tWString,
                           EPropertyScope::Axis,
                           L"",
                           {},
                           {},
                           {L"table", L"user", L"none"},
                           L"where the axis's calibration came from (table: the product table wins again)",
                           {}});
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
    if (stg::ReadStageProperty(*this, c_propZaberHomeZFirst, number) != c_OK)
        stg::WriteStageProperty(*this, c_propZaberHomeZFirst, std::int32_t{1});
    EnableConcurrentStop();
}

CZaberStage::~CZaberStage()
{
    if (m_link) {
        RestoreAlerts();
        m_link->Close();
    }
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

void CZaberStage::RestoreAlerts()
{
    for (int address : m_alertsSwitched) {
        tMessage reply;
        if (m_link)
            m_link->Request(address, 0, "set comm.alert 0", reply);
    }
    m_alertsSwitched.clear();
}

// Life cycle

int CZaberStage::Discover(CZaberLink& link, Targets& targets, std::string& notes)
{
    // Reads a setting of every axis of a device (`count` values) or of the device itself (1):
    // c_OK, c_NotImplemented when the device does not know the setting, or a failure said.
    const auto get = [&](int address, const std::string& name, std::size_t count, std::int64_t lowest,
                         std::int64_t highest, std::vector<std::int64_t>& values) {
        values.clear();
        tMessage reply;
        const ELink status = link.Request(address, 0, "get " + name, reply);
        if (status == ELink::eTimeout)
            return Fail(stg::c_Timeout, link.LastError());
        if (status != ELink::eOK)
            return Fail(stg::c_GeneralFailure, "the port went away (" + link.LastError() + ")");
        if (!reply.accepted && !reply.data.empty() && reply.data[0] == "BADCOMMAND")
            return stg::c_NotImplemented;
        std::int64_t value = 0;
        for (const std::string& token : reply.data)
            if (reply.accepted && ParseInteger(token, lowest, highest, value))
                values.push_back(value);
        if (!reply.accepted || values.size() != reply.data.size() || values.size() != count)
            return Fail(c_DeviceFault, "device " + std::to_string(address) + " answered \"get " + name + "\" with \"" +
                                           (reply.accepted ? "" : "RJ ") +
                                           (reply.data.empty() ? std::string() : reply.data[0]) +
                                           (reply.data.size() > 1 ? " ..." : "") + "\", not " + std::to_string(count) +
                                           " value(s) in " + std::to_string(lowest) + ".." + std::to_string(highest));
        return c_OK;
    };

    // Every device on the chain answers a broadcast with its axis count.
    std::vector<tMessage> replies;
    if (link.Broadcast("get system.axiscount", c_discoveryQuietMs, replies) != ELink::eOK)
        return Fail(stg::c_Timeout,
                    "no Zaber device answered (" + link.LastError() + "; is it in ASCII mode, at the baud rate set?)");
    std::map<int, int> devices; // address -> axis count
    for (const tMessage& reply : replies) {
        if (devices.count(reply.address) != 0)
            return Fail(stg::c_GeneralFailure,
                        "two devices answer at address " + std::to_string(reply.address) +
                            ": every command to it would move both; give every device its own address "
                            "(send \"/renumber\" to the chain, e.g. from Zaber's own software) and activate again");
        std::int64_t count = 0;
        if (!reply.accepted || reply.data.size() != 1 ||
            !ParseInteger(reply.data[0], 1, std::numeric_limits<std::int64_t>::max(), count))
            return Fail(c_DeviceFault, "device " + std::to_string(reply.address) + " answered its axis count with \"" +
                                           (reply.data.empty() ? std::string() : reply.data[0]) + "\"");
        if (count > c_maxAxesPerDevice)
            return Fail(c_DeviceFault, "device " + std::to_string(reply.address) + " claims " + reply.data[0] +
                                           " axes; a Zaber device has at most " + std::to_string(c_maxAxesPerDevice) +
                                           ": refused");
        devices[reply.address] = static_cast<int>(count);
    }
    // Firmware before message IDs reads the ID as a command word and rejects it, without an ID.
    for (const auto& entry : devices) {
        tMessage reply;
        if (link.Request(entry.first, 0, "get system.axiscount", reply) == ELink::eOK && reply.id == c_noID &&
            !reply.accepted && !reply.data.empty() && reply.data[0] == "BADCOMMAND")
            link.SetWithoutIDs(entry.first);
    }

    // Each device's identity, units, travel and alerts; the axes that may be mapped automatically.
    std::map<std::pair<int, int>, tTarget> found;
    std::vector<std::pair<int, int>> mappable;
    for (const auto& [address, count] : devices) {
        const std::size_t axes = static_cast<std::size_t>(count);
        std::vector<std::int64_t> id, peripherals, resolutions, mins, maxs, modified, peripheralModified, alert;
        int rc = get(address, "device.id", 1, 0, c_highestID, id);
        const bool fw6 = rc == stg::c_NotImplemented;
        if (fw6)
            rc = get(address, "deviceid", 1, 0, c_highestID, id);
        if (rc == c_OK) {
            rc = get(address, fw6 ? "peripheralid" : "peripheral.id", axes, 0, c_highestID, peripherals);
            if (rc == stg::c_NotImplemented) // integrated devices refuse it
                rc = c_OK;
        }
        if (rc == c_OK)
            rc = get(address, "resolution", axes, 1, c_highestResolution, resolutions);
        if (rc == c_OK)
            rc = get(address, "limit.min", axes, -c_limitRange, c_limitRange, mins);
        if (rc == c_OK)
            rc = get(address, "limit.max", axes, -c_limitRange, c_limitRange, maxs);
        if (rc == c_OK && (rc = get(address, "device.hw.modified", 1, 0, 1, modified)) == stg::c_NotImplemented)
            rc = c_OK;
        if (rc == c_OK && !peripherals.empty() &&
            (rc = get(address, "peripheral.hw.modified", axes, 0, 1, peripheralModified)) == stg::c_NotImplemented)
            rc = c_OK;
        if (rc != c_OK)
            return rc == stg::c_NotImplemented
                       ? Fail(c_DeviceFault, "device " + std::to_string(address) + " has no identity (device.id)")
                       : rc;
        // Alerts tell when an axis stops; a device that had them off gets them back off at the end.
        bool alerts = get(address, "comm.alert", 1, 0, 1, alert) == c_OK && alert[0] == 1;
        if (!alerts) {
            tMessage reply;
            alerts = link.Request(address, 0, "set comm.alert 1", reply) == ELink::eOK && reply.accepted;
            if (alerts &&
                std::find(m_alertsSwitched.begin(), m_alertsSwitched.end(), address) == m_alertsSwitched.end())
                m_alertsSwitched.push_back(address);
        }
        const int deviceID = static_cast<int>(id[0]);
        const bool integrated = peripherals.empty();
        const bool deviceModified = !modified.empty() && modified[0] == 1;
        for (int axis = 1; axis <= count; ++axis) {
            const std::size_t i = static_cast<std::size_t>(axis - 1);
            tTarget target;
            target.address = address;
            target.axis = axis;
            target.alerts = alerts;
            target.resolution = static_cast<int>(resolutions[i]);
            target.travelMin = mins[i];
            target.travelMax = maxs[i];
            if (target.travelMin > target.travelMax)
                return Fail(c_DeviceFault, Where(address, axis) + " has limit.min above limit.max");
            const int peripheralID = integrated ? 0 : static_cast<int>(peripherals[i]);
            const tProduct* product = integrated ? FindDevice(deviceID) : FindPeripheral(peripheralID);
            target.knownFamily = integrated ? product != nullptr : IsKnownController(deviceID);
            const bool changed = deviceModified || (!peripheralModified.empty() && peripheralModified[i] == 1);
            target.identity = Where(address, axis) + ", device ID " + std::to_string(deviceID) +
                              (integrated ? "" : ", peripheral ID " + std::to_string(peripheralID)) +
                              (product ? std::string(", ") + product->name : std::string(", not in the table")) +
                              (changed ? ", hardware modified" : "");
            if (product && !changed)
                target.microstepUm = MicrostepUm(*product, target.resolution);
            found[{address, axis}] = target;
            // Empty controller axes and stages the table does not know are never X, Y or Z unasked.
            if (integrated || (peripheralID != 0 && product))
                mappable.emplace_back(address, axis);
        }
    }

    // X, Y, Z from the map, or from the chain in order.
    std::wstring map;
    stg::ReadStageProperty(*this, c_propZaberAxisMap, map);
    const std::string mapText = Narrow(map);
    if (mapText.find_first_not_of(" ,") == std::string::npos || mapText == "auto") {
        for (std::size_t i = 0; i < mappable.size() && i < 3; ++i)
            targets[static_cast<int>(i) + 1] = found[mappable[i]];
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
            std::int64_t address = 0, axis = 0;
            const bool numbers = eq != std::string::npos && dot != std::string::npos &&
                                 ParseInteger(item.substr(eq + 1, dot - eq - 1), 1, 99, address) &&
                                 ParseInteger(item.substr(dot + 1), 1, c_maxAxesPerDevice, axis);
            const auto entry = found.find({static_cast<int>(address), static_cast<int>(axis)});
            if (index < 0 || !numbers || entry == found.end())
                return Fail(stg::c_GeneralFailure, "the axis map \"" + mapText + "\" names " + item +
                                                       ", which is no axis on the chain (write X=1.1 Y=1.2 Z=2.1)");
            targets[index + 1] = entry->second;
        }
    }
    for (auto& [axisNo, target] : targets) {
        target.name = c_typeNames[axisNo - 1];
        if (target.microstepUm <= 0.0)
            notes += (notes.empty() ? "" : "; ") + target.name + " (" + target.identity +
                     ") has no known microstep length: set its calibration (plinth calib " + target.name +
                     "=...um) before moving it in physical units";
    }
    return c_OK;
}

int CZaberStage::InitImpl()
{
    std::wstring port;
    std::int32_t baud = 115200, timeoutMs = 1000;
    stg::ReadStageProperty(*this, c_propZaberPort, port);
    stg::ReadStageProperty(*this, c_propZaberBaud, baud);
    stg::ReadStageProperty(*this, c_propZaberReplyTimeout, timeoutMs);
    const std::string path = Narrow(port);

    // Devices whose alerts an earlier activation switched on stay in m_alertsSwitched: they are
    // switched back at the end, whatever this activation finds.
    m_expected.clear();
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

    Targets targets;
    std::string notes;
    const int found = Discover(*link, targets, notes);
    if (found != c_OK) {
        RestoreAlerts();
        return found;
    }
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
        props.hasLLRangeDetection = true;
        // An unknown product has no length: not a number, which the library never moves by.
        props.calibration = utl::TUnitValue<double>(
            target.microstepUm > 0.0 ? target.microstepUm : std::numeric_limits<double>::quiet_NaN(), utl::c_mum);
        props.speedMin = 1.0 / c_nativeSpeedPerMicrostepPerS;
        props.speedMax =
            static_cast<double>(target.resolution) * c_nativeSpeedPerResolution / c_nativeSpeedPerMicrostepPerS;
        props.speed = props.speedMax / 2.0;
        props.modifySpeed = true;
        AddAxis(props, false);
        // The product table's length, unless the user set one; an unknown product's axis loses a
        // length left from before (a guess, or another stage's).
        std::wstring source;
        if (stg::ReadAxisProperty(*this, axisNo, c_propZaberCalibrationSource, source) != c_OK || source != L"user") {
            mem::CBin calibration = mem::CBin::Of(props.calibration.GetValue());
            calibration.SetUnit(utl::c_mum);
            CLowLevelStage::SetPropertyVesselImpl(axisNo, stg::c_propCalibration, calibration);
            mem::CBin said;
            said.Store(std::wstring(target.microstepUm > 0.0 ? L"table" : L"none"));
            CLowLevelStage::SetPropertyVesselImpl(axisNo, c_propZaberCalibrationSource, said);
        }
    }
    // The stored settings come back through SetPropertyVesselImpl; none of them reaches a device.
    m_starting = true;
    const int rc = CLowLevelStage::InitImpl();
    m_starting = false;
    // "Speed" is what the device runs at, not what was stored.
    for (const auto& [axisNo, target] : targets) {
        tMessage reply;
        std::int64_t maxspeed = 0;
        if (Command(target, "get maxspeed", reply, stg::c_GeneralFailure) == c_OK && reply.data.size() == 1 &&
            ParseInteger(reply.data[0], 1, std::int64_t{target.resolution} * c_nativeSpeedPerResolution, maxspeed))
            CLowLevelStage::SetPropertyVesselImpl(
                axisNo, stg::c_propSpeed, mem::CBin::Of(static_cast<double>(maxspeed) / c_nativeSpeedPerMicrostepPerS));
    }
    Say(notes);
    return rc;
}

int CZaberStage::Reconnect()
{
    if (!m_link || m_link->IsUp() || m_targets.empty())
        return c_OK;
    std::wstring port;
    std::int32_t baud = 115200, timeoutMs = 1000;
    stg::ReadStageProperty(*this, c_propZaberPort, port);
    stg::ReadStageProperty(*this, c_propZaberBaud, baud);
    stg::ReadStageProperty(*this, c_propZaberReplyTimeout, timeoutMs);
    const std::string path = Narrow(port);
    auto link = std::make_shared<CZaberLink>();
    link->SetAlertHandler([this](const tMessage& alert) { OnAlert(alert); });
    link->SetReplyTimeout(timeoutMs > 0 ? timeoutMs : 1000);
    if (link->Open(path, baud) != ELink::eOK)
        return Fail(stg::c_GeneralFailure, "the port went away and is not back (" + link->LastError() + ")");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_link->Close();
        m_link = link;
        m_alerts.clear();
    }
    // The same devices with the same products at the same places, or nothing moves.
    Targets found;
    std::string notes;
    if (const int rc = Discover(*link, found, notes); rc != c_OK)
        return rc;
    for (const auto& [axisNo, target] : m_targets) {
        const auto again = found.find(axisNo);
        if (again == found.end() || again->second.address != target.address || again->second.axis != target.axis ||
            again->second.identity != target.identity) {
            link->Close();
            return Fail(stg::c_GeneralFailure, "the port came back with another chain on it: open the stage again (the "
                                               "next plinth command or Stage() does)");
        }
    }
    {
        // Entry by entry: the map's nodes, to which callers may hold pointers, stay.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [axisNo, target] : m_targets)
            target = found[axisNo];
    }
    m_expected.clear();
    Say(notes);
    return c_OK;
}

int CZaberStage::ExitImpl()
{
    if (m_link) {
        RestoreAlerts();
        m_link->Close();
    }
    return c_OK;
}

bool CZaberStage::CheckConnectionImpl()
{
    if (!m_link || Reconnect() != c_OK || !m_link->IsUp())
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
    const tTarget* target = Find(axis);
    if (propID == stg::c_propSpeed && !m_starting) {
        double speed = 0.0;
        if (!value.Get(speed) || !std::isfinite(speed) || !(speed > 0.0))
            return stg::c_InvalidValue;
        if (target && m_link && Reconnect() == c_OK && m_link->IsUp()) { // Reconnect keeps the entries
            if (!target->knownFamily)
                return Fail(stg::c_GeneralFailure,
                            target->name + " (" + target->identity + "): the speed unit of this device is not known");
            // Checked as a double first: no integer conversion of a value out of its range.
            const double native = speed * c_nativeSpeedPerMicrostepPerS;
            const double highest = static_cast<double>(target->resolution) * c_nativeSpeedPerResolution;
            if (!(native >= 1.0 && native <= highest))
                return Fail(stg::c_InvalidValue, target->name + ": speed " + Number(speed) +
                                                     " microsteps/s is outside what the device can do (" +
                                                     Number(1.0 / c_nativeSpeedPerMicrostepPerS) + " to " +
                                                     Number(highest / c_nativeSpeedPerMicrostepPerS) + ")");
            tMessage reply;
            const int rc =
                Command(*target, "set maxspeed " + std::to_string(std::llround(native)), reply, stg::c_InvalidValue);
            if (rc != c_OK)
                return rc;
        }
    }
    const int rc = CLowLevelStage::SetPropertyVesselImpl(axis, propID, value);
    if (rc == c_OK && propID == stg::c_propCalibration && !m_starting && target) {
        mem::CBin said;
        said.Store(std::wstring(L"user"));
        CLowLevelStage::SetPropertyVesselImpl(axis, c_propZaberCalibrationSource, said);
    }
    return rc;
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
        return Fail(stg::c_GeneralFailure, "the port went away (" + m_link->LastError() +
                                               "); open the stage again (the next plinth command or Stage() does)");
    }
    if (reply.accepted)
        return c_OK;
    const std::string reason = reply.data.empty() ? "" : reply.data[0];
    const std::string what =
        target.name + " (" + Where(target.address, target.axis) + ") refused \"" + words + "\": " + reason;
    if (reason == "BADDATA" && IsUnhomed(reply.flag))
        return Fail(stg::c_LimitsNotDefined, NoReference(target.name));
    if (reason == "BADDATA")
        return Fail(badData, what + " (value out of range)");
    if (reason == "BADCOMMAND")
        return Fail(stg::c_NotImplemented, what + " (the device does not know it)");
    if (reason == "BADAXIS")
        return Fail(stg::c_NoSuchAxis, what + " (the device has no such axis)");
    if (reason == "PARKED")
        return Fail(stg::c_GeneralFailure, what + " (the device is parked: unpark it with \"tools parking unpark\", "
                                                  "or run the range search, which homes it)");
    if (reason == "STATUSBUSY" || reason == "DEVICEMOVING" || reason == "AGAIN")
        return Fail(stg::c_Busy, what);
    // DEVICEONLY, NOACCESS, LOCKSTEP, FULL, BADMESSAGEID and reasons of later firmware.
    return Fail(stg::c_GeneralFailure, what);
}

int CZaberStage::RequireHomed(const tTarget& target) const
{
    // The reply's flag is only the highest one; "warnings" lists them all ("NN F1 F2 ...").
    tMessage reply;
    const int rc = Command(target, "warnings", reply, stg::c_GeneralFailure);
    if (rc != c_OK)
        return rc;
    if (std::any_of(reply.data.begin(), reply.data.end(), IsUnhomed) || IsUnhomed(reply.flag))
        return Fail(stg::c_LimitsNotDefined, NoReference(target.name));
    return c_OK;
}

int CZaberStage::CommandAll(const TickMap& values, const std::string& verb, int badData, unsigned stopsBefore)
{
    if (const int rc = Reconnect(); rc != c_OK)
        return rc;
    Axes axes;
    for (const auto& entry : values) {
        if (!Find(entry.first))
            return stg::c_NoSuchAxis;
        axes.push_back(entry.first);
    }
    for (int axis : axes)
        if (const int rc = RequireHomed(*Find(axis)); rc != c_OK)
            return rc;
    if (IsStopRequested() || Stops() != stopsBefore)
        return Fail(stg::c_Stopped, "stopped");
    for (const auto& [axis, value] : values) {
        tMessage reply;
        const int rc = Command(*Find(axis), verb + std::to_string(value), reply, badData);
        if (rc != c_OK)
            return rc;
        const int refused = RefuseUnreferenced(*Find(axis), reply);
        if (refused != c_OK)
            return refused;
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
    if (!IsUnhomed(reply.flag))
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
    return Fail(c_DeviceFault, target.name + " (" + Where(target.address, target.axis) + "): " + reply.flag + ", " +
                                   FlagMeaning(reply.flag));
}

int CZaberStage::PositionOf(const tTarget& target, const tMessage& reply, std::int64_t& ticks) const
{
    if (reply.data.size() == 1 && ParseInteger(reply.data[0], target.travelMin, target.travelMax, ticks))
        return c_OK;
    return Fail(c_DeviceFault, target.name + " (" + Where(target.address, target.axis) + ") answered the position \"" +
                                   (reply.data.empty() ? std::string() : reply.data[0]) + "\", outside its travel " +
                                   std::to_string(target.travelMin) + ".." + std::to_string(target.travelMax));
}

int CZaberStage::CheckRest(int axis, const tTarget& target, const tMessage& reply)
{
    if (const int fault = FaultOf(target, reply); fault != c_OK)
        return fault;
    if (IsUnhomed(reply.flag)) // lost its reference while moving: a power cycle
        return Fail(stg::c_LimitsNotDefined, NoReference(target.name));
    const auto expected = m_expected.find(axis);
    if (expected == m_expected.end() || expected->second.stops != Stops())
        return c_OK;
    std::int64_t ticks = 0;
    if (const int rc = PositionOf(target, reply, ticks); rc != c_OK)
        return rc;
    const std::int64_t wanted = expected->second.ticks;
    if (ticks >= wanted - c_arrivalToleranceTicks && ticks <= wanted + c_arrivalToleranceTicks)
        return c_OK;
    return Fail(c_DeviceFault, target.name + " (" + Where(target.address, target.axis) + ") came to rest at " +
                                   std::to_string(ticks) + ", not at its target " + std::to_string(wanted) +
                                   ", without a fault flag");
}

int CZaberStage::WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore)
{
    int rc = Reconnect();
    if (rc == c_OK)
        rc = WaitAxesOnce(axes, timeoutMs, stopsBefore);
    if (rc != stg::c_Timeout)
        for (int axis : axes)
            m_expected.erase(axis);
    return rc;
}

int CZaberStage::WaitAxesOnce(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore)
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
            if (const int rest = CheckRest(it->first, target, reply); rest != c_OK)
                return rest;
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
    const unsigned stops = Stops();
    const int rc = CommandAll(targets, "move abs ", stg::c_TargetOutOfRange, stops);
    if (rc == c_OK)
        for (const auto& [axis, ticks] : targets)
            m_expected[axis] = tExpected{ticks, stops};
    return rc;
}

int CZaberStage::SetPositionImpl(const TickMap& targets)
{
    const unsigned stops = Stops();
    const int rc = CommandAll(targets, "move abs ", stg::c_TargetOutOfRange, stops);
    if (rc != c_OK)
        return rc;
    for (const auto& [axis, ticks] : targets)
        m_expected[axis] = tExpected{ticks, stops};
    Axes axes;
    for (const auto& entry : targets)
        axes.push_back(entry.first);
    return WaitAxes(axes, stg::c_waitForever, stops);
}

int CZaberStage::MoveFreeImpl(const SpeedMap& speeds)
{
    const unsigned stops = Stops();
    TickMap velocities;
    for (const auto& [axis, speed] : speeds) {
        const tTarget* target = Find(axis);
        if (!target)
            return stg::c_NoSuchAxis;
        if (!target->knownFamily)
            return Fail(stg::c_GeneralFailure,
                        target->name + " (" + target->identity + "): the speed unit of this device is not known");
        // The speed asked for, checked as a double before it becomes an integer.
        const double native = speed * c_nativeSpeedPerMicrostepPerS;
        const double highest = static_cast<double>(target->resolution) * c_nativeSpeedPerResolution;
        if (!std::isfinite(native) || !(std::fabs(native) >= 1.0 && std::fabs(native) <= highest))
            return Fail(stg::c_InvalidValue, target->name + ": free-run speed " + Number(speed) +
                                                 " microsteps/s is outside what the device can do (" +
                                                 Number(1.0 / c_nativeSpeedPerMicrostepPerS) + " to " +
                                                 Number(highest / c_nativeSpeedPerMicrostepPerS) + ")");
        velocities[axis] = std::llround(native);
        m_expected.erase(axis);
    }
    return CommandAll(velocities, "move vel ", stg::c_InvalidValue, stops);
}

bool CZaberStage::IsMovingImpl(const Axes& axes)
{
    if (Reconnect() != c_OK)
        return true; // nothing tells that the axes are at rest
    for (int axis : axes) {
        const tTarget* target = Find(axis);
        tMessage reply;
        // A poll that fails tells nothing: the axis may be moving, and is said to be.
        if (target && (Command(*target, c_statusPoll, reply, stg::c_GeneralFailure) != c_OK || reply.busy))
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
    // One stop for the whole chain before any reply is awaited: a silent device delays no other.
    std::vector<tMessage> replies;
    const ELink sent = link->Broadcast("stop", c_stopQuietMs, replies);
    if (sent == ELink::eVanished || sent == ELink::eNotOpen)
        return Fail(stg::c_GeneralFailure,
                    "stop: the port went away (" + link->LastError() + "); the stage may still be moving");
    std::set<int> silent;
    for (const auto& entry : targets)
        silent.insert(entry.second.address);
    for (const tMessage& reply : replies)
        silent.erase(reply.address);
    // Returns once the axes are at rest, so that the next position read is final; a device that
    // stays busy keeps nobody for longer than c_stopSettleMs, and one that did not answer the
    // stop is not waited for at all.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(c_stopSettleMs);
    std::set<std::string> moving, unheard;
    for (const auto& entry : targets)
        if (silent.count(entry.second.address) != 0)
            unheard.insert(entry.second.name);
    for (;;) {
        moving.clear();
        for (const auto& [axisNo, target] : targets) {
            tMessage reply;
            if (silent.count(target.address) == 0 &&
                (link->Request(target.address, target.axis, c_statusPoll, reply) != ELink::eOK || reply.busy))
                moving.insert(target.name);
        }
        if (moving.empty() || Clock::now() >= deadline)
            break;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(c_pollMs));
    }
    if (moving.empty() && unheard.empty())
        return c_OK;
    const auto list = [](const std::set<std::string>& names) {
        std::string text;
        for (const std::string& name : names)
            text += (text.empty() ? "" : ", ") + name;
        return text;
    };
    std::string said = "stop sent, but";
    if (!unheard.empty())
        said += " the device of " + list(unheard) + " did not answer it" + (moving.empty() ? "" : " and");
    if (!moving.empty())
        said +=
            " " + list(moving) + " did not report standstill within " + std::to_string(c_stopSettleMs / 1000) + " s";
    return Fail(stg::c_Timeout, said + ": the stage may still be moving");
}

int CZaberStage::GetPositionImpl(TickMap& positions, const stg::ESelection& selection)
{
    if (const int rc = Reconnect(); rc != c_OK)
        return rc;
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
        // The counter of an axis without a reference says nothing about where it stands.
        if (IsUnhomed(reply.flag))
            return Fail(stg::c_LimitsNotDefined, NoReference(target->name));
        if (const int read = PositionOf(*target, reply, ticks); read != c_OK)
            return read;
    }
    return c_OK;
}

int CZaberStage::RunToEnd(const Axes& axes, const char* words, bool upper)
{
    const unsigned stops = Stops();
    if (const int rc = Reconnect(); rc != c_OK)
        return rc;
    for (int axis : axes) {
        const tTarget* target = Find(axis);
        if (!target)
            return stg::c_NoSuchAxis;
        if (const int rc = RequireHomed(*target); rc != c_OK)
            return rc;
    }
    if (IsStopRequested() || Stops() != stops)
        return Fail(stg::c_Stopped, "stopped");
    for (int axis : axes) {
        tMessage reply;
        const tTarget* target = Find(axis);
        m_expected.erase(axis);
        int rc = Command(*target, words, reply, stg::c_TargetOutOfRange);
        if (rc == c_OK)
            rc = RefuseUnreferenced(*target, reply);
        if (rc != c_OK)
            return rc;
        m_expected[axis] = tExpected{upper ? target->travelMax : target->travelMin, stops};
    }
    if (const int stopped = StopIfStopped(axes, stops); stopped != c_OK)
        return stopped;
    return WaitAxes(axes, stg::c_waitForever, stops);
}

int CZaberStage::GotoUpperLimitImpl(const Axes& axes) { return RunToEnd(axes, "move max", true); }

int CZaberStage::GotoLowerLimitImpl(const Axes& axes) { return RunToEnd(axes, "move min", false); }

int CZaberStage::InitRangesImpl(const Axes& axes)
{
    const unsigned stops = Stops();
    if (const int rc = Reconnect(); rc != c_OK)
        return rc;
    std::int32_t zFirst = 1;
    stg::ReadStageProperty(*this, c_propZaberHomeZFirst, zFirst);
    // The focus drive first, alone, so that the objective is out of the way before X and Y move.
    std::vector<Axes> phases(2);
    for (int axis : axes) {
        const tTarget* target = Find(axis);
        if (!target)
            return stg::c_NoSuchAxis;
        m_expected.erase(axis);
        phases[zFirst != 0 && target->name == "Z" ? 0 : 1].push_back(axis);
    }
    for (const Axes& phase : phases) {
        if (phase.empty())
            continue;
        if (IsStopRequested() || Stops() != stops)
            return Fail(stg::c_Stopped, "stopped");
        for (int axis : phase) {
            tMessage reply;
            if (const int rc = Command(*Find(axis), "home", reply, stg::c_GeneralFailure); rc != c_OK)
                return rc;
        }
        if (const int stopped = StopIfStopped(phase, stops); stopped != c_OK)
            return stopped;
        if (const int rc = WaitAxes(phase, stg::c_waitForever, stops); rc != c_OK)
            return rc;
    }
    for (int axis : axes) {
        const tTarget& target = *Find(axis);
        tMessage low, high;
        std::int64_t lower = 0, upper = 0;
        int rc = Command(target, "get limit.min", low, stg::c_GeneralFailure);
        if (rc == c_OK)
            rc = Command(target, "get limit.max", high, stg::c_GeneralFailure);
        if (rc != c_OK)
            return rc;
        if (low.data.size() != 1 || high.data.size() != 1 ||
            !ParseInteger(low.data[0], -c_limitRange, c_limitRange, lower) ||
            !ParseInteger(high.data[0], -c_limitRange, c_limitRange, upper) || lower > upper)
            return Fail(c_DeviceFault, target.name + ": the device's limits are not a range of positions");
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_targets[axis].travelMin = lower;
            m_targets[axis].travelMax = upper;
        }
        if (const int set = SetAxisLimits(axis, lower, upper); set != c_OK)
            return set;
    }
    return c_OK;
}

} // namespace zaber
