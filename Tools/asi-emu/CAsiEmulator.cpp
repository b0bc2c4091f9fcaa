#include "CAsiEmulator.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

namespace asiemu {
namespace {

constexpr const char* c_end = "\r\n";
constexpr double c_tenthsPerMm = 10'000.0; // the counter's resolution: 0.1 µm
constexpr double c_minSpeedMmS = 0.0001;

std::string Ack(const std::string& data = "") { return (data.empty() ? ":A" : ":A " + data) + c_end; }
std::string Refusal(int code) { return ":N-" + std::to_string(code) + c_end; }

bool Number(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

// WHERE's format: at most one decimal, no trailing zeros ("1234.5", "1000", "0").
std::string Decimal(double value)
{
    const double tenths = std::round(value * 10.0);
    char text[64];
    if (std::fmod(tenths, 10.0) == 0.0)
        std::snprintf(text, sizeof(text), "%.0f", tenths / 10.0);
    else
        std::snprintf(text, sizeof(text), "%.1f", tenths / 10.0);
    return std::string(text) == "-0" ? "0" : text;
}

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

const std::map<std::string, std::string> c_longNames = {
    {"MOVE", "M"},     {"MOVREL", "R"},  {"WHERE", "W"},  {"STATUS", "/"},   {"RDSTAT", "RS"},
    {"HALT", "\\"},    {"SPEED", "S"},   {"ACCEL", "AC"}, {"BACKLASH", "B"}, {"HOME", "!"},
    {"SETHOME", "HM"}, {"HERE", "H"},    {"ZERO", "Z"},   {"SETLOW", "SL"},  {"SETUP", "SU"},
    {"VECTOR", "VE"},  {"VERSION", "V"}, {"BUILD", "BU"}, {"CDATE", "CD"},   {"SAVESET", "SS"},
};

} // namespace

CAsiEmulator::CAsiEmulator(tAsiEmulatorOptions options)
    : CLineEmulator(options.linkPath, "\r", '\n', options.seed), m_options(std::move(options)),
      m_clock(m_options.timeScale)
{
    // name, travel (mm), where the carriage stands at power-up (mm from the lower end), SL, SU,
    // speed, its maximum, accel.
    const struct {
        char name;
        double travelMm, standMm, lowMm, highMm, speedMmS, maxSpeedMmS;
        int accelMs;
        double backlashMm;
    } layout[] = {{'X', 100.0, 60.0, -59.0, 39.0, 5.0, 7.5, 70, 0.04},
                  {'Y', 80.0, 35.0, -34.0, 44.0, 5.0, 7.5, 70, 0.04},
                  {'Z', 20.0, 11.0, -10.0, 8.0, 0.5, 1.5, 100, 0.0}};
    for (std::size_t i = 0; i < m_axes.size(); ++i) {
        tAxis& axis = m_axes[i];
        const auto& l = layout[i];
        axis.name = l.name;
        axis.travel = std::llround(l.travelMm * c_tenthsPerMm);
        axis.offset = std::llround(l.standMm * c_tenthsPerMm);
        axis.speedMmS = l.speedMmS;
        axis.maxSpeedMmS = l.maxSpeedMmS;
        axis.accelMs = l.accelMs;
        axis.backlashMm = l.backlashMm;
        axis.lowMm = axis.defaultLowMm = l.lowMm;
        axis.highMm = axis.defaultHighMm = l.highMm;
        const double accelTicksPerS2 = l.speedMmS * c_tenthsPerMm / (l.accelMs / 1000.0);
        axis.motion = std::make_unique<simstage::CAxisMotion>(0, axis.travel, accelTicksPerS2);
        axis.motion->PlaceAt(axis.offset);
        axis.stallArmed = !m_options.stallAxis.empty() && std::toupper(m_options.stallAxis[0]) == l.name;
    }
    m_targets.assign(m_axes.size(), 0.0);
}

CAsiEmulator::~CAsiEmulator() { Stop(); }

std::int64_t CAsiEmulator::Position(char axis) const
{
    std::lock_guard<std::mutex> lock(Mutex());
    const double nowS = m_clock.NowS();
    for (const tAxis& each : m_axes)
        if (each.name == axis)
            return Counter(each, nowS);
    return 0;
}

int CAsiEmulator::MovesReceived() const
{
    std::lock_guard<std::mutex> lock(Mutex());
    return m_moves;
}

void CAsiEmulator::StallNextMove(char axis)
{
    std::lock_guard<std::mutex> lock(Mutex());
    if (tAxis* found = Find(axis))
        found->stallArmed = true;
}

bool CAsiEmulator::ControlProtocol(const std::vector<std::string>& words)
{
    if (words.size() == 2 && words[0] == "stall" && words[1].size() == 1 &&
        Find(static_cast<char>(std::toupper(words[1][0])))) {
        Find(static_cast<char>(std::toupper(words[1][0])))->stallArmed = true;
        return true;
    }
    return false;
}

CAsiEmulator::tAxis* CAsiEmulator::Find(char name)
{
    for (tAxis& axis : m_axes)
        if (axis.name == name)
            return &axis;
    return nullptr;
}

std::int64_t CAsiEmulator::Counter(const tAxis& axis, double nowS) const
{
    return axis.motion->PositionAt(nowS) - axis.offset;
}

void CAsiEmulator::Update(double nowS)
{
    for (tAxis& axis : m_axes)
        if (axis.stallAtS >= 0.0 && nowS >= axis.stallAtS) {
            axis.motion->Halt(axis.stallAtS);
            axis.stallAtS = -1.0;
            axis.enabled = false;
        }
}

bool CAsiEmulator::AtLower(const tAxis& axis, double nowS) const
{
    const std::int64_t counter = Counter(axis, nowS);
    return counter <= -axis.offset || counter <= std::llround(axis.lowMm * c_tenthsPerMm);
}

bool CAsiEmulator::AtUpper(const tAxis& axis, double nowS) const
{
    const std::int64_t counter = Counter(axis, nowS);
    return counter >= axis.travel - axis.offset || counter >= std::llround(axis.highMm * c_tenthsPerMm);
}

int CAsiEmulator::StatusByte(const tAxis& axis, double nowS) const
{
    const bool moving = axis.motion->IsMovingAt(nowS);
    int bits = 0;
    if (moving && axis.commanded)
        bits |= 1 << 0;
    if (axis.enabled)
        bits |= 1 << 1;
    if (moving)
        bits |= 1 << 2;
    bits |= 1 << 3; // joystick enabled
    if (AtUpper(axis, nowS))
        bits |= 1 << 6;
    if (AtLower(axis, nowS))
        bits |= 1 << 7;
    return bits;
}

std::string CAsiEmulator::CountMove(std::string reply)
{
    ++m_moves;
    if (m_options.vanishAfterMoves > 0 && m_moves == m_options.vanishAfterMoves)
        VanishAfterReply();
    return reply;
}

std::string CAsiEmulator::Handle(const std::string& raw)
{
    std::string line = raw;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    while (!line.empty() && line.front() == ' ')
        line.erase(0, 1);
    if (line.empty())
        return "";
    const double nowS = m_clock.NowS();
    Update(nowS);

    // A card address before a command without axis letters (Tiger).
    if (std::isdigit(static_cast<unsigned char>(line[0]))) {
        if (!m_options.tiger)
            return Refusal(1);
        if (line[0] != '1' && line[0] != '2')
            return Refusal(7);
        line.erase(0, 1);
    }
    // The verb: "/" and "\" need no space after them.
    std::string verb;
    std::size_t rest = 0;
    if (line[0] == '/' || line[0] == '\\' || line[0] == '!') {
        verb = line.substr(0, 1);
        rest = 1;
    } else {
        rest = std::min(line.find(' '), line.size());
        verb = Upper(line.substr(0, rest));
    }
    if (const auto it = c_longNames.find(verb); it != c_longNames.end())
        verb = it->second;
    std::vector<tParam> params;
    std::istringstream words(line.substr(rest));
    for (std::string word; words >> word;) {
        tParam param;
        param.axis = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
        if (word.size() > 1) {
            param.mark = word[1];
            param.value = word.substr(2);
            if (param.mark != '=' && param.mark != '?' && param.mark != '+' && param.mark != '-')
                return Refusal(6);
        }
        params.push_back(param);
    }
    return Answer(verb, params, nowS);
}

std::string CAsiEmulator::Answer(const std::string& verb, const std::vector<tParam>& params, double nowS)
{
    for (const tParam& param : params)
        if (!std::isalpha(static_cast<unsigned char>(param.axis)))
            return Refusal(6);
    // Setters and queries of per-axis values, one table row per command.
    struct tSetting {
        double tAxis::*field;
        bool axisFirst; // the query answers ":X=50 A" rather than ":A X=50"
        int decimals;
        bool positive; // a negative value is out of range
    };
    static const std::map<std::string, tSetting> settings = {
        {"S", {&tAxis::speedMmS, false, 6, true}},
        {"B", {&tAxis::backlashMm, true, 6, true}},
        {"UM", {&tAxis::unitsPerMm, false, 0, false}},
    };
    if (const auto it = settings.find(verb); it != settings.end() || verb == "AC") {
        if (params.empty())
            return Refusal(3);
        std::string answer;
        for (const tParam& param : params) {
            tAxis* axis = Find(param.axis);
            if (!axis)
                return Refusal(2);
            if (param.mark == '?') {
                const std::string value = verb == "AC" ? std::to_string(axis->accelMs)
                                                       : Fixed(axis->*(it->second.field), it->second.decimals);
                answer += std::string(answer.empty() ? "" : " ") + param.axis + "=" + value;
                continue;
            }
            double value = 0.0;
            if (param.mark != '=' || !Number(param.value, value))
                return Refusal(param.mark == '=' ? 6 : 3);
            if (verb == "AC") {
                if (value < 0.0)
                    return Refusal(4);
                axis->accelMs = static_cast<int>(std::lround(value));
            } else if (verb == "S") {
                axis->speedMmS = std::clamp(value, c_minSpeedMmS, axis->maxSpeedMmS); // clamped, not refused
            } else if (verb == "UM") {
                if (value == 0.0)
                    return Refusal(4);
                axis->unitsPerMm = value;
            } else {
                if (value < 0.0)
                    return Refusal(4);
                axis->*(it->second.field) = value;
            }
        }
        if (answer.empty())
            return Ack();
        const bool axisFirst = verb == "AC" || (it != settings.end() && it->second.axisFirst);
        return axisFirst ? ":" + answer + " A" + c_end : Ack(answer);
    }
    if (verb == "/")
        return std::any_of(m_axes.begin(), m_axes.end(),
                           [&](const tAxis& a) { return a.commanded && a.motion->IsMovingAt(nowS); })
                   ? std::string("B") + c_end
                   : std::string("N") + c_end;
    if (verb == "\\")
        return Halt(nowS);
    if (verb == "M" || verb == "R")
        return Move(params, verb == "R", nowS);
    if (verb == "W")
        return Where(params, nowS);
    if (verb == "RS")
        return Status(params, nowS);
    if (verb == "VE")
        return Vector(params, nowS);
    if (verb == "!")
        return Home(params, nowS);
    if (verb == "SL" || verb == "SU")
        return Limits(params, verb == "SU", nowS);
    if (verb == "HM") {
        std::string answer;
        for (const tParam& param : params) {
            tAxis* axis = Find(param.axis);
            if (!axis)
                return Refusal(2);
            answer += std::string(answer.empty() ? "" : " ") + param.axis + "=" + Fixed(axis->homeMm, 3);
        }
        return Ack(answer);
    }
    if (verb == "H" || verb == "Z") {
        const std::vector<tParam> all = {{'X', '=', "0"}, {'Y', '=', "0"}, {'Z', '=', "0"}};
        for (const tParam& param : verb == "Z" ? all : params) {
            tAxis* axis = Find(param.axis);
            double value = 0.0;
            if (!axis)
                return Refusal(2);
            if (param.mark == '=' && !Number(param.value, value))
                return Refusal(6);
            // The counter now reads `value` (in UM units); the firmware limits stay where they are.
            const std::int64_t before = Counter(*axis, nowS);
            const auto now = std::llround(value * c_tenthsPerMm / axis->unitsPerMm);
            axis->offset += before - now;
            const double shiftMm = static_cast<double>(now - before) / c_tenthsPerMm;
            axis->lowMm += shiftMm;
            axis->highMm += shiftMm;
            axis->defaultLowMm += shiftMm;
            axis->defaultHighMm += shiftMm;
        }
        return Ack();
    }
    if (verb == "MC") {
        for (const tParam& param : params) {
            tAxis* axis = Find(param.axis);
            if (!axis)
                return Refusal(2);
            if (param.mark == '+' || param.mark == '-')
                axis->enabled = param.mark == '+';
        }
        return Ack();
    }
    if (verb == "V")
        return m_options.tiger ? Ack("v3.30") : Ack("Version: USB-9.50 ");
    if (verb == "BU") {
        const std::string name = m_options.tiger ? "TIGER_COMM" : "STD_XYZ";
        if (params.empty())
            return name + c_end;
        return name + "\rMotor Axes: X Y Z\rAxis Types: x x z\rAxis Addr: 1 1 2" + c_end;
    }
    if (verb == "CD")
        return Ack("Dec 07 2026:12:00:00");
    if (verb == "SS")
        return Ack();
    return Refusal(m_options.tiger ? 6 : 1);
}

std::string CAsiEmulator::StartMove(tAxis& axis, double targetTicks, double speedMmS, double nowS)
{
    if (!axis.enabled)
        return Refusal(5);
    const double lowTicks = axis.lowMm * c_tenthsPerMm, highTicks = axis.highMm * c_tenthsPerMm;
    if (m_options.rejectBeyondLimits && (targetTicks < lowTicks || targetTicks > highTicks))
        return Refusal(4);
    const double clamped = std::clamp(targetTicks, lowTicks, highTicks);
    const std::size_t index = static_cast<std::size_t>(&axis - m_axes.data());
    m_targets[index] = clamped;
    axis.motion->MoveTo(nowS, std::llround(clamped) + axis.offset, speedMmS * c_tenthsPerMm);
    axis.commanded = true;
    if (axis.stallArmed && axis.motion->IsMovingAt(nowS)) {
        axis.stallArmed = false;
        axis.stallAtS = (nowS + axis.motion->RestTimeS()) / 2.0;
    }
    return Ack();
}

std::string CAsiEmulator::Move(const std::vector<tParam>& params, bool relative, double nowS)
{
    if (params.empty())
        return Refusal(3);
    std::vector<std::pair<tAxis*, double>> moves;
    for (const tParam& param : params) {
        tAxis* axis = Find(param.axis);
        if (!axis)
            return Refusal(2);
        double value = 0.0; // a bare letter means 0
        if (param.mark == '=' && !Number(param.value, value))
            return Refusal(6);
        if (param.mark != '=' && param.mark != 0)
            return Refusal(6);
        const std::size_t index = static_cast<std::size_t>(axis - m_axes.data());
        const double ticks = value * c_tenthsPerMm / axis->unitsPerMm;
        // MOVREL counts from the target, which a finished, halted or stopped move has reset to
        // where the axis stands.
        const double from =
            axis->motion->IsMovingAt(nowS) ? m_targets[index] : static_cast<double>(Counter(*axis, nowS));
        moves.emplace_back(axis, relative ? from + ticks : ticks);
    }
    for (const auto& [axis, target] : moves)
        if (!axis->enabled)
            return CountMove(Refusal(5));
    for (const auto& [axis, target] : moves) {
        const std::string refused = StartMove(*axis, target, axis->speedMmS, nowS);
        if (refused != Ack())
            return CountMove(refused);
    }
    return CountMove(Ack());
}

std::string CAsiEmulator::Where(const std::vector<tParam>& params, double nowS)
{
    if (params.empty())
        return Refusal(3);
    std::string answer;
    for (tAxis& axis : m_axes) // hardware order, whatever order was asked
        if (std::any_of(params.begin(), params.end(), [&](const tParam& p) { return p.axis == axis.name; }))
            answer += (answer.empty() ? "" : " ") +
                      Decimal(static_cast<double>(Counter(axis, nowS)) * axis.unitsPerMm / c_tenthsPerMm);
    for (const tParam& param : params)
        if (!Find(param.axis))
            return Refusal(2);
    return Ack(answer);
}

std::string CAsiEmulator::Status(const std::vector<tParam>& params, double nowS)
{
    if (params.empty())
        return Refusal(3);
    std::string answer;
    for (const tParam& param : params) {
        tAxis* axis = Find(param.axis);
        if (!axis)
            return Refusal(2);
        const bool moving = axis->motion->IsMovingAt(nowS);
        if (param.mark == '?') {
            answer += moving && axis->commanded ? "B" : "N";
        } else if (param.mark == '-') {
            answer += !axis->enabled ? "D" : AtUpper(*axis, nowS) ? "U" : AtLower(*axis, nowS) ? "L" : " ";
        } else if (param.mark == '+') {
            answer += moving ? (axis->commanded ? "M" : "B") : " ";
        } else {
            answer += std::string(answer.empty() ? "" : " ") + std::to_string(StatusByte(*axis, nowS));
        }
    }
    return Ack(answer);
}

std::string CAsiEmulator::Halt(double nowS)
{
    bool interrupted = false;
    for (tAxis& axis : m_axes) {
        if (axis.motion->IsMovingAt(nowS)) {
            interrupted = interrupted || axis.commanded;
            axis.motion->Stop(nowS);
        }
        axis.stallAtS = -1.0;
    }
    return interrupted ? Refusal(21) : Ack();
}

std::string CAsiEmulator::Vector(const std::vector<tParam>& params, double nowS)
{
    if (params.empty())
        return Refusal(3);
    for (const tParam& param : params) {
        tAxis* axis = Find(param.axis);
        if (!axis)
            return Refusal(2);
        double speedMmS = 0.0;
        if (param.mark == '?') {
            return Ack(std::string(1, param.axis) + "=" + Fixed(axis->motion->SpeedAt(nowS) / c_tenthsPerMm, 6));
        }
        if (param.mark == '=' && !Number(param.value, speedMmS))
            return Refusal(6);
        if (!axis->enabled)
            return CountMove(Refusal(5));
        if (speedMmS == 0.0) {
            axis->motion->Stop(nowS);
            continue;
        }
        // Constant speed toward the firmware limit of the direction.
        const double limitTicks = (speedMmS > 0.0 ? axis->highMm : axis->lowMm) * c_tenthsPerMm;
        const std::string started =
            StartMove(*axis, limitTicks, std::min(std::fabs(speedMmS), axis->maxSpeedMmS), nowS);
        if (started != Ack())
            return CountMove(started);
    }
    return CountMove(Ack());
}

std::string CAsiEmulator::Home(const std::vector<tParam>& params, double nowS)
{
    if (params.empty())
        return Refusal(3);
    for (const tParam& param : params) {
        tAxis* axis = Find(param.axis);
        if (!axis)
            return Refusal(2);
        const double homeTicks = std::min(axis->homeMm, axis->highMm) * c_tenthsPerMm;
        const std::string started = StartMove(*axis, homeTicks, axis->speedMmS, nowS);
        if (started != Ack())
            return CountMove(started);
    }
    return CountMove(Ack());
}

std::string CAsiEmulator::Limits(const std::vector<tParam>& params, bool upper, double nowS)
{
    if (params.empty())
        return Refusal(3);
    std::string answer;
    for (const tParam& param : params) {
        tAxis* axis = Find(param.axis);
        if (!axis)
            return Refusal(2);
        double& limit = upper ? axis->highMm : axis->lowMm;
        double value = 0.0;
        if (param.mark == '?')
            answer += std::string(answer.empty() ? "" : " ") + param.axis + "=" + Fixed(limit, 3);
        else if (param.mark == '+')
            limit = static_cast<double>(Counter(*axis, nowS)) / c_tenthsPerMm;
        else if (param.mark == '-')
            limit = upper ? axis->defaultHighMm : axis->defaultLowMm;
        else if (param.mark == '=' && Number(param.value, value))
            limit = value;
        else
            return Refusal(param.mark == '=' ? 6 : 3);
    }
    return Ack(answer);
}

} // namespace asiemu
