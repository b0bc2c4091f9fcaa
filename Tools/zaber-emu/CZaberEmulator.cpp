#include "CZaberEmulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>

namespace zaberemu {
namespace {

constexpr int c_resolution = 64;                                            // microsteps per full step
constexpr std::int64_t c_speedCeiling = std::int64_t{c_resolution} * 16384; // highest maxspeed and move vel
constexpr double c_nativePerStepsPerS = 1.6384;                             // maxspeed = microsteps/s x 1.6384
constexpr std::int64_t c_accelNative = 205;                                 // a typical factory value
constexpr double c_accelStepsPerS2 = c_accelNative * 10000.0 / c_nativePerStepsPerS;
constexpr std::int64_t c_limitRange = 1'000'000'000;
constexpr int c_maxPollMs = 1000;
constexpr std::uint32_t c_seed = 1; // of the kit's garbling
// Highest precedence first (later FW6 order).
constexpr const char* c_precedence[] = {"FD", "FQ", "FS", "FT", "FB", "FP", "FE", "WH", "WL", "WP",
                                        "WV", "WT", "WM", "WR", "NC", "NI", "ND", "NU", "NJ"};
// Flags that "warnings clear" clears (WR only goes by homing or setting the position).
constexpr const char* c_clearable[] = {"FQ", "FS", "FT", "FB", "FP", "FE", "WL", "NI"};

// The emulator checks and writes checksums and splits commands with its own code, not the
// driver's, so that a fault in the driver's grammar cannot hide behind the same fault here.

// The byte sum of a message body, low eight bits. A body and its LRC checksum sum to zero.
unsigned ByteSum(const std::string& body)
{
    unsigned sum = 0;
    for (const char c : body)
        sum += static_cast<unsigned char>(c);
    return sum & 0xFFu;
}

// The LRC checksum of a body: what makes the sum of body and checksum a multiple of 256.
unsigned Lrc(const std::string& body) { return (0x100u - ByteSum(body)) & 0xFFu; }

// The words of a command, split on any number of spaces.
std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t begin = text.find_first_not_of(' ', at);
        if (begin == std::string::npos)
            break;
        const std::size_t end = std::min(text.find(' ', begin), text.size());
        words.push_back(text.substr(begin, end - begin));
        at = end;
    }
    return words;
}

bool ParseInt(const std::string& text, std::int64_t& value)
{
    if (text.empty() || text.size() > 12)
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}

// The emulator's own product table: full step (micrometres) and travel (millimetres) of the
// products it emulates. The X-VSR20A's 20 mm is read from its model number.
struct tProductData {
    int id;
    double fullStepUm;
    double travelMm;
};
constexpr tProductData c_products[] = {
    {c_asr100B, 10.0, 100.0}, {c_asr120B, 10.0, 120.0}, {c_xVSR20A, 6.096, 20.0}, {50081, 7.9375, 100.0}, // X-LHM100A
    {43211, 7.9375, 25.0}, // LHM025A-T3, for controllers of other axis counts
};

// Microsteps between the end switches of the product at resolution 64; 1,000,000 for a product
// not in the table.
std::int64_t TravelOf(int id)
{
    for (const tProductData& product : c_products)
        if (product.id == id)
            return static_cast<std::int64_t>(std::floor(product.travelMm * 1000.0 * c_resolution / product.fullStepUm));
    return 1'000'000;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

CZaberEmulator::CZaberEmulator(tEmulatorOptions options)
    : CLineEmulator(options.linkPath, "\r\n", '\0', c_seed), m_options(std::move(options)),
      m_clock(m_options.timeScale > 0.0 ? m_options.timeScale : 1.0)
{
    for (const tEmulatedDevice& config : m_options.devices) {
        tDevice device;
        device.config = config;
        device.address = config.address > 0 ? config.address : static_cast<int>(m_devices.size()) + 1;
        // Only the axis field's digit limits the count; a device claiming more has no axes to move.
        const int axes = std::clamp(config.axes, 1, 9);
        for (int i = 0; i < axes; ++i) {
            tAxis axis;
            const bool controller = !config.peripheralIDs.empty();
            axis.peripheralID = controller && static_cast<std::size_t>(i) < config.peripheralIDs.size()
                                    ? config.peripheralIDs[static_cast<std::size_t>(i)]
                                    : 0;
            axis.travel = TravelOf(controller ? axis.peripheralID : config.deviceID);
            axis.motion = std::make_unique<simstage::CAxisMotion>(0, axis.travel, c_accelStepsPerS2);
            // Power-up: somewhere along the travel, no reference, the counter reads 0.
            const std::int64_t standing = axis.travel / 3 + std::int64_t{1000} * i;
            axis.motion->PlaceAt(standing);
            axis.offset = -standing;
            axis.limitMax = axis.travel;
            axis.flags.insert("WR");
            device.axes.push_back(std::move(axis));
        }
        m_devices.push_back(std::move(device));
    }
}

CZaberEmulator::~CZaberEmulator() { Stop(); }

void CZaberEmulator::Silence(bool on, int address)
{
    if (address == 0)
        CLineEmulator::Silence(on);
    std::lock_guard<std::mutex> lock(Mutex());
    for (tDevice& device : m_devices)
        if (device.address == address)
            device.silent = on;
}

void CZaberEmulator::GarbleNextReply()
{
    std::lock_guard<std::mutex> lock(Mutex());
    m_garble = true;
}

void CZaberEmulator::CorruptNextChecksum()
{
    std::lock_guard<std::mutex> lock(Mutex());
    m_corrupt = true;
}

void CZaberEmulator::StallNextMove(int address, int axis)
{
    std::lock_guard<std::mutex> lock(Mutex());
    ArmMove(address, axis, true);
}

void CZaberEmulator::SlipNextMove(int address, int axis)
{
    std::lock_guard<std::mutex> lock(Mutex());
    ArmMove(address, axis, false);
}

void CZaberEmulator::ArmMove(int address, int axis, bool stall)
{
    for (tDevice& device : m_devices)
        if (device.address == address && axis >= 1 && axis <= static_cast<int>(device.axes.size()))
            (stall ? device.axes[axis - 1].stallArmed : device.axes[axis - 1].slipArmed) = true;
}

void CZaberEmulator::IgnoreStops(bool on)
{
    std::lock_guard<std::mutex> lock(Mutex());
    m_ignoreStops = on;
}

void CZaberEmulator::PowerCycle(int address)
{
    std::lock_guard<std::mutex> lock(Mutex());
    Power(address);
}

void CZaberEmulator::Power(int address)
{
    const double nowS = m_clock.NowS();
    for (tDevice& device : m_devices) {
        if (device.address != address)
            continue;
        for (tAxis& axis : device.axes) {
            axis.motion->Halt(nowS);
            axis.offset = -axis.motion->PositionAt(nowS);
            axis.flags.clear();
            axis.flags.insert("WR");
            axis.homing = axis.alertDue = false;
            axis.stallAtS = -1.0;
        }
    }
}

void CZaberEmulator::Park(int address)
{
    std::lock_guard<std::mutex> lock(Mutex());
    SetParked(address);
}

void CZaberEmulator::SetParked(int address)
{
    for (tDevice& device : m_devices)
        if (device.address == address)
            device.parked = true;
}

std::string CZaberEmulator::StoredSettings() const
{
    std::lock_guard<std::mutex> lock(Mutex());
    std::string text;
    for (const tDevice& device : m_devices) {
        text += std::to_string(device.address) + ": alert " + (device.alerts ? "1" : "0");
        for (const tAxis& axis : device.axes)
            text += " [" + std::to_string(axis.maxspeed) + ' ' + std::to_string(axis.accel) + ' ' +
                    std::to_string(axis.limitMin) + ' ' + std::to_string(axis.limitMax) + ']';
        text += "; ";
    }
    return text;
}

void CZaberEmulator::ReplaceNextData(const std::string& data)
{
    std::lock_guard<std::mutex> lock(Mutex());
    m_replaceData = data;
}

std::string CZaberEmulator::LastCommand(int address) const
{
    std::lock_guard<std::mutex> lock(Mutex());
    for (const tDevice& device : m_devices)
        if (device.address == address)
            return device.lastCommand;
    return "";
}

std::vector<std::string> CZaberEmulator::Homings() const
{
    std::lock_guard<std::mutex> lock(Mutex());
    return m_homings;
}

int CZaberEmulator::CommandsReceived(int address) const
{
    std::lock_guard<std::mutex> lock(Mutex());
    return address >= 1 && address <= static_cast<int>(m_devices.size()) ? m_devices[address - 1].commands : 0;
}

bool CZaberEmulator::WaitForCommands(int address, int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(Mutex());
    if (address < 1 || address > static_cast<int>(m_devices.size()))
        return false;
    return m_handled.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_devices[address - 1].commands >= count; });
}

bool CZaberEmulator::ControlProtocol(const std::vector<std::string>& words)
{
    std::int64_t a = 0, b = 0;
    const bool onOff = words.size() >= 2 && (words[1] == "on" || words[1] == "off");
    if (words.size() == 3 && words[0] == "silent" && onOff && ParseInt(words[2], a) && a != 0) {
        for (tDevice& device : m_devices)
            if (device.address == a)
                device.silent = words[1] == "on";
    } else if (words.size() == 1 && words[0] == "garble") {
        m_garble = true;
    } else if (words.size() == 1 && words[0] == "bad-checksum") {
        m_corrupt = true;
    } else if (words.size() == 3 && (words[0] == "stall" || words[0] == "slip") && ParseInt(words[1], a) &&
               ParseInt(words[2], b)) {
        ArmMove(static_cast<int>(a), static_cast<int>(b), words[0] == "stall");
    } else if (words.size() == 2 && words[0] == "deaf-to-stop" && onOff) {
        m_ignoreStops = words[1] == "on";
    } else if (words.size() == 2 && words[0] == "power-cycle" && ParseInt(words[1], a)) {
        Power(static_cast<int>(a));
    } else if (words.size() == 2 && words[0] == "park" && ParseInt(words[1], a)) {
        SetParked(static_cast<int>(a));
    } else {
        return false;
    }
    return true;
}

std::string CZaberEmulator::Unprompted(int& waitMs)
{
    std::vector<std::string> out;
    const double nowS = m_clock.NowS();
    Update(nowS, out);
    const double nextS = NextEventS();
    if (std::isfinite(nextS))
        waitMs = static_cast<int>(
            std::clamp(std::ceil((nextS - nowS) / m_options.timeScale * 1000.0), 0.0, double(c_maxPollMs)));
    std::string lines;
    for (const std::string& line : out)
        lines += line;
    return lines;
}

std::string CZaberEmulator::Handle(const std::string& line)
{
    std::vector<std::string> out;
    Respond(line, out);
    std::string reply;
    for (const std::string& each : out)
        reply += each;
    if (reply.empty())
        return reply;
    if (std::exchange(m_corrupt, false)) {
        // The first line's checksum, wrong by one (or a wrong one where there was none).
        const std::size_t end = reply.find("\r\n");
        std::string first = reply.substr(0, end);
        if (first.size() > 3 && first[first.size() - 3] == ':')
            first.resize(first.size() - 3);
        char tail[8];
        std::snprintf(tail, sizeof(tail), ":%02X", (Lrc(first.substr(1)) + 1) & 0xFF);
        reply = first + tail + reply.substr(end);
    }
    if (std::exchange(m_garble, false)) {
        reply = "~~ line noise ~~\r\n" + reply;
        SplitReply();
    }
    return reply;
}

void CZaberEmulator::Respond(const std::string& raw, std::vector<std::string>& out)
{
    std::string line = raw;
    const std::size_t slash = line.find('/');
    if (slash == std::string::npos)
        return;
    line.erase(0, slash + 1);
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    // A checksum is checked whenever the third-last character is a colon. A bad one drops the
    // command without a reply (the manual says both this and a rejection; unconfirmed).
    if (line.size() >= 3 && line[line.size() - 3] == ':') {
        const std::string hex = line.substr(line.size() - 2);
        char* end = nullptr;
        const long given = std::strtol(hex.c_str(), &end, 16);
        line.resize(line.size() - 3);
        if (*end != '\0' || ((ByteSum(line) + static_cast<unsigned>(given)) & 0xFFu) != 0)
            return;
    }
    const std::vector<std::string> words = Words(line);
    tCommand command;
    std::size_t next = 0;
    const bool hex =
        next < words.size() && words[next].size() > 2 && words[next].size() <= 4 &&
        words[next].compare(0, 2, "0x") == 0 &&
        std::all_of(words[next].begin() + 2, words[next].end(), [](char c) { return std::isxdigit(c) != 0; });
    if (hex) {
        command.address = static_cast<int>(std::strtol(words[next++].c_str() + 2, nullptr, 16));
        if (next < words.size() && AllDigits(words[next])) {
            command.axis = std::stoi(words[next++]);
            if (next < words.size() && AllDigits(words[next]))
                command.id = std::stoi(words[next++]);
        }
    } else if (next < words.size() && AllDigits(words[next])) {
        command.address = std::stoi(words[next++]);
        if (next < words.size() && AllDigits(words[next])) {
            command.axis = std::stoi(words[next++]);
            if (next < words.size() && AllDigits(words[next]))
                command.id = std::stoi(words[next++]);
        }
    }
    command.words.assign(words.begin() + static_cast<std::ptrdiff_t>(next), words.end());
    const double nowS = m_clock.NowS();
    Update(nowS, out);
    if (command.address > 99)
        return; // out of range: nobody answers
    for (tDevice& device : m_devices) {
        if (command.address != 0 && command.address != device.address)
            continue;
        ++device.commands;
        device.lastCommand.clear();
        for (const std::string& word : command.words)
            device.lastCommand += (device.lastCommand.empty() ? "" : " ") + word;
        const std::string reply = Answer(device, device.address, command, nowS);
        if (!device.silent)
            out.push_back(reply);
    }
    m_handled.notify_all();
}

std::string CZaberEmulator::Frame(const tDevice& device, char kind, const std::string& body) const
{
    std::string line = kind + body;
    if (device.checksums) {
        char tail[8];
        std::snprintf(tail, sizeof(tail), ":%02X", Lrc(body));
        line += tail;
    }
    return line + "\r\n";
}

std::string CZaberEmulator::TopFlag(const tAxis& axis) const
{
    for (const char* flag : c_precedence)
        if (axis.flags.count(flag) != 0)
            return flag;
    return "--";
}

std::string CZaberEmulator::DeviceFlag(const tDevice& device) const
{
    for (const char* flag : c_precedence)
        for (const tAxis& axis : device.axes)
            if (axis.flags.count(flag) != 0)
                return flag;
    return "--";
}

std::string CZaberEmulator::Reply(const tDevice& device, int address, const tCommand& command, bool accepted,
                                  const std::string& data, double nowS) const
{
    bool busy = false;
    std::string flag;
    if (command.axis >= 1 && command.axis <= static_cast<int>(device.axes.size())) {
        const tAxis& axis = device.axes[command.axis - 1];
        busy = Busy(axis, nowS);
        flag = TopFlag(axis);
    } else {
        busy = std::any_of(device.axes.begin(), device.axes.end(), [&](const tAxis& a) { return Busy(a, nowS); });
        flag = DeviceFlag(device);
    }
    char head[16];
    std::snprintf(head, sizeof(head), "%02d %d", address, command.axis);
    std::string body = head;
    if (command.id >= 0)
        body += ' ' + std::to_string(command.id);
    body += std::string(accepted ? " OK " : " RJ ") + (busy ? "BUSY " : "IDLE ") + flag + ' ' + data;
    return Frame(device, '@', body);
}

std::string CZaberEmulator::Answer(tDevice& device, int address, const tCommand& command, double nowS)
{
    const auto reject = [&](const char* reason) { return Reply(device, address, command, false, reason, nowS); };
    const auto accept = [&](const std::string& data) {
        const std::string sent = m_replaceData.empty() ? data : std::exchange(m_replaceData, std::string());
        return Reply(device, address, command, true, sent, nowS);
    };
    const std::vector<std::string>& w = command.words;
    if (command.id >= 0 && !device.config.messageIDs) {
        tCommand plain = command; // the ID was read as the command: rejected, the reply without it
        plain.id = -1;
        return Reply(device, address, plain, false, "BADCOMMAND", nowS);
    }
    if (command.id > 99)
        return reject("BADMESSAGEID");
    if (command.axis > static_cast<int>(device.axes.size()))
        return reject("BADAXIS");
    if (w.empty())
        return accept("0");

    // Which axes an axis-scope command acts on.
    std::vector<tAxis*> axes;
    if (command.axis == 0)
        for (tAxis& axis : device.axes)
            axes.push_back(&axis);
    else
        axes.push_back(&device.axes[command.axis - 1]);

    if (w[0] == "get" && w.size() == 2) {
        const std::string& name = w[1];
        // Each firmware family knows only its own names of the identity settings.
        const bool fw7 = device.config.firmware >= 7;
        const bool controller = !device.config.peripheralIDs.empty();
        const std::string idName = fw7 ? "device.id" : "deviceid";
        const std::string peripheralName = fw7 ? "peripheral.id" : "peripheralid";
        if (name == (fw7 ? "deviceid" : "device.id") || name == (fw7 ? "peripheralid" : "peripheral.id") ||
            (!fw7 && (name == "device.hw.modified" || name == "peripheral.hw.modified")) ||
            (!controller && (name == peripheralName || name == "peripheral.hw.modified")))
            return reject("BADCOMMAND");
        const bool deviceSetting = name == "system.axiscount" || name == "comm.alert" || name == "comm.checksum" ||
                                   name == "version" || name == idName || name == "device.hw.modified";
        if (deviceSetting) {
            if (command.axis != 0)
                return reject("DEVICEONLY");
            if (name == "system.axiscount")
                return accept(std::to_string(device.config.axes));
            if (name == "comm.alert")
                return accept(device.alerts ? "1" : "0");
            if (name == "comm.checksum")
                return accept(device.checksums ? "1" : "0");
            if (name == "version")
                return accept(fw7 ? "7.25" : "6.28");
            if (name == "device.hw.modified")
                return accept("0");
            return accept(std::to_string(device.config.deviceID));
        }
        std::string values;
        for (const tAxis* axis : axes) {
            std::int64_t value = 0;
            if (name == "pos")
                value = Pos(*axis, nowS);
            else if (name == "maxspeed")
                value = axis->maxspeed;
            else if (name == "accel")
                value = axis->accel;
            else if (name == "limit.approach.maxspeed")
                value = axis->approachSpeed;
            else if (name == peripheralName)
                value = axis->peripheralID;
            else if (name == "peripheral.hw.modified")
                value = 0;
            else if (name == "limit.min")
                value = axis->limitMin;
            else if (name == "limit.max")
                value = axis->limitMax;
            else if (name == "resolution")
                value = c_resolution;
            else if (name == "limit.home.triggered")
                value = axis->flags.count("WR") == 0 ? 1 : 0;
            else
                return reject("BADCOMMAND");
            values += (values.empty() ? "" : " ") + std::to_string(value);
        }
        return accept(values);
    }
    if (w[0] == "set" && w.size() == 3) {
        const std::string& name = w[1];
        std::int64_t value = 0;
        const bool known = name == "comm.alert" || name == "comm.checksum" || name == "maxspeed" || name == "accel" ||
                           name == "limit.min" || name == "limit.max" || name == "pos" ||
                           name == "limit.approach.maxspeed";
        if (!known)
            return reject("BADCOMMAND"); // unknown or read-only ("system.axiscount", "version", ...)
        if (!ParseInt(w[2], value))
            return reject("BADDATA");
        if (name == "comm.alert" || name == "comm.checksum") {
            if (command.axis != 0)
                return reject("DEVICEONLY");
            if (name == "comm.alert" && !device.config.alerts)
                return reject("BADCOMMAND");
            if (value != 0 && value != 1)
                return reject("BADDATA");
            (name == "comm.alert" ? device.alerts : device.checksums) = value == 1;
            return accept("0");
        }
        for (const tAxis* axis : axes) { // all or nothing
            if ((name == "maxspeed" || name == "limit.approach.maxspeed") && (value < 1 || value > c_speedCeiling))
                return reject("BADDATA");
            if (name == "accel" && (value < 0 || value > 32767))
                return reject("BADDATA");
            if ((name == "limit.min" || name == "limit.max") && std::llabs(value) > c_limitRange)
                return reject("BADDATA");
            if (name == "pos" && (value < axis->limitMin || value > axis->limitMax))
                return reject("BADDATA");
        }
        for (tAxis* axis : axes) {
            if (name == "maxspeed")
                axis->maxspeed = value;
            else if (name == "accel")
                axis->accel = value;
            else if (name == "limit.approach.maxspeed")
                axis->approachSpeed = value;
            else if (name == "limit.min")
                axis->limitMin = value;
            else if (name == "limit.max")
                axis->limitMax = value;
            else {
                axis->offset = value - axis->motion->PositionAt(nowS);
                axis->flags.erase("WR");
            }
        }
        return accept("0");
    }
    if (w[0] == "warnings" && (w.size() == 1 || (w.size() == 2 && w[1] == "clear"))) {
        std::set<std::string> all;
        for (const tAxis* axis : axes)
            all.insert(axis->flags.begin(), axis->flags.end());
        char count[8];
        std::snprintf(count, sizeof(count), "%02zu", all.size());
        std::string data = count;
        for (const char* flag : c_precedence)
            if (all.count(flag) != 0)
                data += std::string(" ") + flag;
        if (w.size() == 2)
            for (tAxis* axis : axes)
                for (const char* flag : c_clearable)
                    axis->flags.erase(flag);
        return accept(data);
    }
    if (w[0] == "tools" && w.size() == 3 && w[1] == "parking") {
        if (command.axis != 0)
            return reject("DEVICEONLY");
        if (w[2] == "state")
            return accept(device.parked ? "1" : "0");
        if (w[2] == "park" &&
            std::any_of(device.axes.begin(), device.axes.end(), [&](const tAxis& a) { return Busy(a, nowS); }))
            return reject("STATUSBUSY");
        if (w[2] != "park" && w[2] != "unpark")
            return reject("BADDATA");
        device.parked = w[2] == "park";
        return accept("0");
    }
    const bool movement = w[0] == "move" || w[0] == "stop" || w[0] == "estop" || w[0] == "home";
    if (!movement)
        return reject("BADCOMMAND");
    // Parked: every movement but home is refused (a stop too, as the manual's wording has it).
    if (device.parked && w[0] != "home")
        return reject("PARKED");
    if (w[0] == "home")
        device.parked = false;
    for (tAxis* axis : axes) { // all or nothing
        const std::string reason = MoveAxis(*axis, w, nowS, true);
        if (!reason.empty())
            return reject(reason.c_str());
    }
    const bool stop = w[0] == "stop" || w[0] == "estop";
    if (stop && m_ignoreStops)
        return accept("0");
    if (w[0] == "home") {
        bool othersMoving = false;
        for (const tDevice& other : m_devices)
            for (const tAxis& axis : other.axes)
                othersMoving = othersMoving || Busy(axis, nowS);
        for (std::size_t i = 0; i < device.axes.size(); ++i)
            if (command.axis == 0 || command.axis == static_cast<int>(i) + 1)
                m_homings.push_back(std::to_string(address) + '.' + std::to_string(i + 1) + (othersMoving ? "+" : ""));
    }
    for (tAxis* axis : axes)
        MoveAxis(*axis, w, nowS, false);
    return accept("0");
}

std::string CZaberEmulator::MoveAxis(tAxis& axis, const std::vector<std::string>& w, double nowS, bool check)
{
    const bool wasBusy = Busy(axis, nowS);
    const double speed = static_cast<double>(axis.maxspeed) / c_nativePerStepsPerS;
    const bool referenced = axis.flags.count("WR") == 0;
    std::int64_t value = 0;
    std::int64_t target = 0; // position counter
    enum { eTo, eHome, eStop, eHalt } kind = eTo;
    double runSpeed = speed;

    if (w[0] == "stop" && w.size() == 1) {
        kind = eStop;
    } else if (w[0] == "estop" && w.size() == 1) {
        kind = eHalt;
    } else if (w[0] == "home" && w.size() == 1) {
        kind = eHome;
    } else if (w[0] == "move" && w.size() == 2 && (w[1] == "min" || w[1] == "max")) {
        if (!referenced)
            return "BADDATA";
        target = w[1] == "min" ? axis.limitMin : axis.limitMax;
    } else if (w[0] == "move" && w.size() == 3 && (w[1] == "abs" || w[1] == "rel")) {
        if (!ParseInt(w[2], value) || !referenced)
            return "BADDATA"; // FW6.06 refuses moves without a reference this way
        target = w[1] == "abs" ? value : Pos(axis, nowS) + value;
        if (target < axis.limitMin || target > axis.limitMax)
            return "BADDATA";
    } else if (w[0] == "move" && w.size() == 3 && w[1] == "vel") {
        if (!ParseInt(w[2], value) || std::llabs(value) > c_speedCeiling)
            return "BADDATA";
        if (value == 0)
            kind = eStop;
        target = value > 0 ? axis.limitMax : axis.limitMin; // a run stops at the limit
        runSpeed = static_cast<double>(std::llabs(value)) / c_nativePerStepsPerS;
    } else {
        return "BADCOMMAND";
    }
    if (check)
        return "";

    axis.homing = false;
    axis.stallAtS = -1.0;
    switch (kind) {
    case eStop:
        axis.motion->Stop(nowS);
        break;
    case eHalt:
        axis.motion->Halt(nowS);
        break;
    case eHome: // at the lesser of the approach speed and maxspeed
        axis.motion->RunFree(nowS, -1, std::min(speed, static_cast<double>(axis.approachSpeed) / c_nativePerStepsPerS));
        axis.homing = true;
        break;
    case eTo:
        axis.motion->MoveTo(nowS, target - axis.offset, runSpeed);
        break;
    }
    if (wasBusy)
        axis.flags.insert("NI"); // the earlier movement did not complete
    else
        axis.flags.erase("NI"); // any movement command while idle, a stop included
    axis.slipping = false;
    axis.alertDue = wasBusy || Busy(axis, nowS);
    if ((axis.stallArmed || axis.slipArmed) && kind != eStop && kind != eHalt && Busy(axis, nowS)) {
        axis.slipping = !axis.stallArmed;
        axis.stallArmed = axis.slipArmed = false;
        axis.stallAtS = nowS + (axis.motion->RestTimeS() - nowS) / 2.0;
    }
    return "";
}

void CZaberEmulator::Update(double nowS, std::vector<std::string>& out)
{
    for (std::size_t d = 0; d < m_devices.size(); ++d) {
        tDevice& device = m_devices[d];
        for (std::size_t a = 0; a < device.axes.size(); ++a) {
            tAxis& axis = device.axes[a];
            if (axis.stallAtS >= 0.0 && nowS >= axis.stallAtS) {
                axis.motion->Halt(axis.stallAtS);
                if (!axis.slipping)
                    axis.flags.insert("FS");
                axis.slipping = false;
                axis.homing = false;
                axis.stallAtS = -1.0;
            }
            if (Busy(axis, nowS))
                continue;
            if (axis.homing) {
                axis.homing = false;
                axis.offset = -axis.motion->PositionAt(nowS); // the home sensor: position 0
                axis.flags.erase("WR");
            }
            if (axis.alertDue) {
                axis.alertDue = false;
                if (device.alerts) {
                    char body[64];
                    std::snprintf(body, sizeof(body), "%02d %d IDLE %s", device.address, static_cast<int>(a + 1),
                                  TopFlag(axis).c_str());
                    out.push_back(Frame(device, '!', body));
                }
            }
        }
    }
}

double CZaberEmulator::NextEventS() const
{
    double next = std::numeric_limits<double>::infinity();
    for (const tDevice& device : m_devices)
        for (const tAxis& axis : device.axes) {
            if (axis.stallAtS >= 0.0)
                next = std::min(next, axis.stallAtS);
            if (axis.alertDue || axis.homing)
                next = std::min(next, axis.motion->RestTimeS());
        }
    return next;
}

} // namespace zaberemu
