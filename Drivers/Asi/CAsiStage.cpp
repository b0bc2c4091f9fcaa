#include "CAsiStage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "AsiDefs.h"

namespace asi {
namespace {

using stg::c_OK;
using Clock = std::chrono::steady_clock;
using plat::ESerialStatus;

// Between two status polls of a move. Budgeted from a few tens of ms per exchange at 9600 baud.
constexpr int c_pollMs = 20;
// How long a stop may take to bring the axes to rest.
constexpr int c_stopLimitMs = 30'000;
// A re-synchronisation waits for the line to be quiet this long, and asks STATUS this often.
constexpr int c_resyncQuietMs = 50;
constexpr int c_resyncTries = 3;
// Any speed the controller may be asked for, mm/s: it clamps a request to its own range, so the
// driver finds that range by asking for these and reading back what it took.
constexpr double c_probeMaxMmS = 10'000.0;
constexpr double c_probeMinMmS = 0.000001;

constexpr struct {
    stg::EAxisType type;
    char letter;
} c_letters[] = {{stg::eAxisX, 'X'}, {stg::eAxisY, 'Y'}, {stg::eAxisZ, 'Z'}};

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += static_cast<char>(c < 128 ? c : '?');
    return narrow;
}

std::string Mm(double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.6f", value);
    return text;
}

} // namespace

CAsiStage::CAsiStage(std::uint32_t stageID) : CLowLevelStage(stageID)
{
    // Name, ID, type, level, unit, minimum, maximum, allowed values, description, no default.
    using utl::EPropertyScope;
    std::vector<std::wstring> baudRates;
    for (int rate : plat::BaudRates())
        baudRates.push_back(std::to_wstring(rate));
    utl::RegisterProperty({L"AsiPort",
                           c_propAsiPort,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {},
                           L"the serial port of the controller, e.g. /dev/ttyUSB0",
                           {}});
    utl::RegisterProperty({L"AsiBaud",
                           c_propAsiBaud,
                           mem::c_tInt,
                           EPropertyScope::Stage,
                           L"baud",
                           {},
                           {},
                           baudRates,
                           L"the baud rate (an MS-2000's DIP switches; a Tiger talks at 115200)",
                           {}});
    utl::RegisterProperty({L"AsiReplyTimeout",
                           c_propAsiReplyTimeout,
                           mem::c_tInt,
                           EPropertyScope::Stage,
                           L"ms",
                           1.0,
                           60000.0,
                           {},
                           L"how long to wait for a reply of the controller",
                           {}});
    utl::RegisterProperty({L"AsiCard",
                           c_propAsiCard,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {L"", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"},
                           L"the card address in a Tiger card cage; empty for an MS-2000",
                           {}});
    utl::RegisterProperty({L"AsiAccelMs",
                           c_propAsiAccelMs,
                           mem::c_tInt,
                           EPropertyScope::Axis,
                           L"ms",
                           0.0,
                           {},
                           {},
                           L"the axis's acceleration time from rest to its speed (ACCEL)",
                           {}});
    utl::RegisterProperty({L"DriverMessage",
                           c_propDriverMessage,
                           mem::c_tWString,
                           EPropertyScope::Stage,
                           L"",
                           {},
                           {},
                           {},
                           L"what the controller or the port last complained about (written by the driver)",
                           {}});
    // The settings show in the stage set from the start; stored ones are kept.
    std::wstring text;
    std::int32_t number = 0;
    if (stg::ReadStageProperty(*this, c_propAsiPort, text) != c_OK)
        stg::WriteStageProperty(*this, c_propAsiPort, std::wstring());
    if (stg::ReadStageProperty(*this, c_propAsiBaud, number) != c_OK)
        stg::WriteStageProperty(*this, c_propAsiBaud, std::int32_t{9600});
    if (stg::ReadStageProperty(*this, c_propAsiReplyTimeout, number) != c_OK)
        stg::WriteStageProperty(*this, c_propAsiReplyTimeout, std::int32_t{1000});
    if (stg::ReadStageProperty(*this, c_propAsiCard, text) != c_OK)
        stg::WriteStageProperty(*this, c_propAsiCard, std::wstring());
    EnableConcurrentStop();
}

CAsiStage::~CAsiStage()
{
    if (m_link)
        m_link->Close();
}

void CAsiStage::Say(const std::string& message) const
{
    // Straight into the set (it locks itself): the stop says things without the stage lock.
    mem::CBin bin;
    bin.Store(std::wstring(message.begin(), message.end()));
    GetPropSet()->SetProperty(c_propDriverMessage, bin);
}

const CAsiStage::tAxis* CAsiStage::Find(int axis) const
{
    const auto it = m_axes.find(axis);
    return it == m_axes.end() ? nullptr : &it->second;
}

unsigned CAsiStage::Stops() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stops;
}

std::int64_t CAsiStage::ToleranceTicks(const tAxis& axis) const
{
    return std::max<std::int64_t>(1, std::llround(c_targetToleranceUm / 1000.0 * std::fabs(axis.unitsPerMm)));
}

// Talking to the controller

int CAsiStage::Resync(int silences) const
{
    std::shared_ptr<plat::CSerialLink> link;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        link = m_link;
    }
    if (!link)
        return stg::c_GeneralFailure;
    // A reply that is not a status (a late one, or noise) costs a try but little time; silence
    // costs a reply time-out, so it ends the attempt after `silences` of them.
    for (int attempt = 0, silent = 0; attempt < c_resyncTries && silent < silences; ++attempt) {
        if (link->Purge(c_resyncQuietMs) == ESerialStatus::eVanished)
            break;
        std::string line;
        tReply status;
        const ESerialStatus sent = link->Request("/", line);
        if (sent == ESerialStatus::eVanished)
            break;
        if (sent == ESerialStatus::eTimeout)
            ++silent;
        if (sent == ESerialStatus::eOK && ParseReply(line, status) && status.kind == tReply::eStatus) {
            m_resync = false;
            return c_OK;
        }
    }
    m_resync = true;
    return stg::c_Timeout;
}

int CAsiStage::Command(const std::string& command, tReply& reply, int outOfRange) const
{
    std::shared_ptr<plat::CSerialLink> link;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        link = m_link;
    }
    if (!link)
        return Fail(stg::c_GeneralFailure, "the port is not open");
    std::string line;
    // After a time-out, one try: a controller that stays silent costs each call one reply time-out.
    if (m_resync && Resync(1) != c_OK && link->IsUp())
        return Fail(stg::c_Timeout, "no reply to \"/\" (re-synchronising) on " + link->Path());
    for (int attempt = 0; link->IsUp(); ++attempt) {
        const ESerialStatus status = link->Request(command, line);
        if (status == ESerialStatus::eTimeout) {
            m_resync = true;
            return Fail(stg::c_Timeout, link->LastError());
        }
        if (status != ESerialStatus::eOK)
            break;
        if (ParseReply(line, reply))
            break;
        if (attempt == 1 || Resync(c_resyncTries) != c_OK) {
            m_resync = true;
            return Fail(stg::c_GeneralFailure, "no sense in the reply to \"" + command + "\": \"" + line + "\"");
        }
    }
    if (!link->IsUp())
        return Fail(stg::c_GeneralFailure, "the port went away (" + link->LastError() +
                                               "); open the stage again (the next plinth command or Stage() does)");
    if (reply.kind != tReply::eError)
        return c_OK;
    const std::string what =
        "\"" + command + "\" refused: :N-" + std::to_string(reply.error) + ", " + ErrorMeaning(reply.error);
    switch (reply.error) {
    case 1:
        return Fail(stg::c_NotImplemented, what);
    case 2:
        return Fail(stg::c_NoSuchAxis, what);
    case 3:
        return Fail(stg::c_InvalidValue, what);
    case 4:
        return Fail(outOfRange, what);
    case 5:
        return Fail(c_DeviceFault, what);
    case 21:
        return Fail(stg::c_Stopped, what);
    default: // :N-6 (not accepted), :N-7 (card address) and the reserved codes
        return Fail(stg::c_GeneralFailure, what);
    }
}

int CAsiStage::Query(const std::string& command, std::map<char, double>& values) const
{
    tReply reply;
    const int rc = Command(command, reply);
    if (rc != c_OK)
        return rc;
    if (reply.kind != tReply::eAck || !ParseValues(reply.data, values))
        return Fail(stg::c_GeneralFailure, "no values in the reply to \"" + command + "\": \"" + reply.data + "\"");
    return c_OK;
}

int CAsiStage::Position(const tAxis& axis, std::int64_t& ticks) const
{
    // One axis at a time: WHERE answers in hardware order, not in the order asked.
    tReply reply;
    const std::string command = std::string("W ") + axis.letter;
    const int rc = Command(command, reply);
    if (rc != c_OK)
        return rc;
    std::vector<double> numbers;
    if (reply.kind != tReply::eAck || !ParseNumbers(reply.data, numbers) || numbers.size() != 1)
        return Fail(stg::c_GeneralFailure, std::string(1, axis.letter) + ": not a position: \"" + reply.data + "\"");
    ticks = std::llround(numbers[0]);
    return c_OK;
}

// Life cycle

int CAsiStage::InitImpl()
{
    std::wstring port, card;
    std::int32_t baud = 9600, timeoutMs = 1000;
    stg::ReadStageProperty(*this, c_propAsiPort, port);
    stg::ReadStageProperty(*this, c_propAsiBaud, baud);
    stg::ReadStageProperty(*this, c_propAsiReplyTimeout, timeoutMs);
    stg::ReadStageProperty(*this, c_propAsiCard, card);
    const std::string path = Narrow(port);

    auto link = std::make_shared<plat::CSerialLink>();
    // Commands end in CR; replies in CR LF, the lines of a multi-line reply in CR alone.
    // Whether an LF after a command is tolerated is not documented, so none is sent.
    link->SetFraming(plat::ELineEnd::eCR, plat::ELineEnd::eCRLF);
    link->SetReplyTimeout(timeoutMs > 0 ? timeoutMs : 1000);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_link)
            m_link->Close();
        m_link = link;
        m_axes.clear();
        m_targets.clear();
        m_card = Narrow(card);
    }
    m_resync = false;
    if (path.empty())
        return Fail(stg::c_GeneralFailure, "no serial port set (plinth --port /dev/ttyUSB0, setting AsiPort)");
    if (link->Open(path, baud) != ESerialStatus::eOK)
        return Fail(stg::c_GeneralFailure, link->LastError());
    // Whatever a previous user left on the line; then a STATUS that must parse.
    if (Resync(c_resyncTries) != c_OK)
        return Fail(stg::c_Timeout, "no ASI controller answered on " + path + " at " + std::to_string(baud) +
                                        " baud (an MS-2000 talks at 9600 unless its switches say otherwise, a "
                                        "Tiger at 115200)");

    // On a Tiger, a command without an axis letter goes to the card named by its address; a
    // wrong address answers :N-7 (an MS-2000 knows no addresses and answers :N-1).
    if (!m_card.empty()) {
        tReply version;
        if (Command(m_card + "V", version) != c_OK)
            return Fail(stg::c_GeneralFailure, "AsiCard \"" + m_card + "\" is not a card of this controller: " +
                                                   ErrorMeaning(version.error) + " (leave it empty for an MS-2000)");
    }
    AxisTable axes;
    for (const auto& [type, letter] : c_letters) {
        tAxis axis;
        axis.letter = letter;
        std::int64_t ticks = 0;
        const int present = Position(axis, ticks);
        if (present == stg::c_NoSuchAxis)
            continue; // :N-2: the controller has no such axis
        if (present != c_OK)
            return present;
        const std::string l(1, letter);
        std::map<char, double> values;
        // UM is missing on old firmware (unconfirmed which); the documented default then holds.
        if (Query("UM " + l + "?", values) == c_OK && values.count(letter) && values[letter] != 0.0)
            axis.unitsPerMm = values[letter];
        std::map<char, double> low, high;
        int rc = Query("SL " + l + "?", low);
        if (rc == c_OK)
            rc = Query("SU " + l + "?", high);
        if (rc != c_OK || !low.count(letter) || !high.count(letter))
            return Fail(rc == c_OK ? stg::c_GeneralFailure : rc, l + ": the firmware limits could not be read");
        // SETLOW/SETUP are millimetres whatever UM says; a reversed axis swaps them.
        const auto a = std::llround(low[letter] * axis.unitsPerMm), b = std::llround(high[letter] * axis.unitsPerMm);
        axis.lowTicks = std::min(a, b);
        axis.highTicks = std::max(a, b);
        axes[static_cast<int>(axes.size()) + 1] = axis;
    }
    if (axes.empty())
        return Fail(stg::c_GeneralFailure, "the controller on " + path + " has none of the axes X, Y, Z");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_axes = axes;
    }

    for (const auto& [axisNo, axis] : axes) {
        const std::string l(1, axis.letter);
        const double ticksPerMm = std::fabs(axis.unitsPerMm);
        stg::tAxisProps props;
        props.axisNo = axisNo;
        props.axisType = c_letters[axis.letter == 'X' ? 0 : axis.letter == 'Y' ? 1 : 2].type;
        props.calibration = utl::TUnitValue<double>(1000.0 / ticksPerMm, utl::c_mum);
        // The controller clamps speeds to its range: ask for the extremes, read back what it took,
        // and put its speed back.
        std::map<char, double> speed, fastest, slowest;
        tReply reply;
        int rc = Query("S " + l + "?", speed);
        if (rc == c_OK)
            rc = Command("S " + l + "=" + Mm(c_probeMaxMmS), reply);
        if (rc == c_OK)
            rc = Query("S " + l + "?", fastest);
        if (rc == c_OK)
            rc = Command("S " + l + "=" + Mm(c_probeMinMmS), reply);
        if (rc == c_OK)
            rc = Query("S " + l + "?", slowest);
        if (rc == c_OK)
            rc = Command("S " + l + "=" + Mm(speed[axis.letter]), reply);
        if (rc != c_OK || !speed.count(axis.letter) || !fastest.count(axis.letter) || !slowest.count(axis.letter))
            return Fail(rc == c_OK ? stg::c_GeneralFailure : rc, l + ": the speeds could not be read");
        props.speed = speed[axis.letter] * ticksPerMm;
        props.speedMax = fastest[axis.letter] * ticksPerMm;
        props.speedMin = slowest[axis.letter] * ticksPerMm;
        props.modifySpeed = true;
        AddAxis(props, false);
        // The controller's ACCEL unless a stored one comes back below.
        std::map<char, double> accel;
        std::int32_t stored = 0;
        if (stg::ReadAxisProperty(*this, axisNo, c_propAsiAccelMs, stored) != c_OK &&
            Query("AC " + l + "?", accel) == c_OK && accel.count(axis.letter))
            CLowLevelStage::SetPropertyVesselImpl(
                axisNo, c_propAsiAccelMs, mem::CBin::Of(static_cast<std::int32_t>(std::lround(accel[axis.letter]))));
    }
    Say("");
    return CLowLevelStage::InitImpl(); // the stored settings, "Speed" among them, reach the controller
}

int CAsiStage::ExitImpl()
{
    if (m_link)
        m_link->Close();
    return c_OK;
}

bool CAsiStage::CheckConnectionImpl()
{
    tReply reply;
    return m_link && m_link->IsUp() && Command("/", reply) == c_OK && reply.kind == tReply::eStatus;
}

int CAsiStage::SetPropertyVesselImpl(const int& axis, const int& propID, const mem::CBin& value)
{
    const tAxis* found = Find(axis);
    const bool live = found && m_link && m_link->IsUp();
    if (propID == stg::c_propSpeed) {
        double speed = 0.0;
        if (!value.Get(speed) || !std::isfinite(speed) || !(speed > 0.0))
            return stg::c_InvalidValue;
        if (live) {
            tReply reply;
            const std::string l(1, found->letter);
            const int rc = Command("S " + l + "=" + Mm(speed / std::fabs(found->unitsPerMm)), reply);
            if (rc != c_OK)
                return rc;
        }
    } else if (propID == c_propAsiAccelMs) {
        std::int32_t ms = 0;
        if (!value.Get(ms) || ms <= 0)
            return stg::c_InvalidValue;
        if (live) {
            tReply reply;
            const int rc = Command("AC " + std::string(1, found->letter) + "=" + std::to_string(ms), reply);
            if (rc != c_OK)
                return rc;
        }
    } else if (found && (propID == stg::c_propMinimum || propID == stg::c_propMaximum)) {
        // The library's limits stay inside the controller's firmware limits.
        std::int64_t ticks = 0;
        if (value.Get(ticks))
            return CLowLevelStage::SetPropertyVesselImpl(
                axis, propID, mem::CBin::Of(std::clamp(ticks, found->lowTicks, found->highTicks)));
    }
    return CLowLevelStage::SetPropertyVesselImpl(axis, propID, value);
}

// Motion

int CAsiStage::StartMoves(const TickMap& targets)
{
    std::string command = "M";
    for (const auto& [axis, ticks] : targets) {
        const tAxis* found = Find(axis);
        if (!found)
            return stg::c_NoSuchAxis;
        command += std::string(" ") + found->letter + "=" + std::to_string(ticks);
    }
    tReply reply;
    const int rc = Command(command, reply, stg::c_TargetOutOfRange);
    if (rc != c_OK)
        return rc;
    for (const auto& [axis, ticks] : targets)
        m_targets[axis] = ticks;
    return c_OK;
}

bool CAsiStage::Busy(const Axes& axes, int& rc) const
{
    tReply reply;
    rc = Command("/", reply);
    if (rc != c_OK)
        return false;
    if (reply.kind != tReply::eStatus) {
        rc = Fail(stg::c_GeneralFailure, "STATUS answered \"" + reply.data + "\"");
        return false;
    }
    if (!reply.busy || axes.size() >= m_axes.size())
        return reply.busy;
    // Some axes only: RDSTAT per axis (firmware 9.2e on). Where it is missing, or answers
    // without N or B (as a Tiger sometimes does), the whole controller's B is taken.
    for (int axis : axes) {
        const tAxis* found = Find(axis);
        tReply one;
        if (!found || Command(std::string("RS ") + found->letter + "?", one) != c_OK || one.kind != tReply::eAck ||
            (one.data != "N" && one.data != "B"))
            return true;
        if (one.data == "B")
            return true;
    }
    return false;
}

int CAsiStage::CheckTargets(const Axes& axes)
{
    for (int axis : axes) {
        const auto it = m_targets.find(axis);
        const tAxis* found = Find(axis);
        if (it == m_targets.end() || !found)
            continue;
        const std::int64_t target = it->second;
        m_targets.erase(it);
        std::int64_t ticks = 0;
        const int rc = Position(*found, ticks);
        if (rc != c_OK)
            return rc;
        if (std::llabs(ticks - target) <= ToleranceTicks(*found))
            continue;
        // Why: a limit, a disabled (stalled) motor, or something the controller does not say.
        const std::string l(1, found->letter);
        tReply state;
        std::string why;
        if (Command("RS " + l + "-", state) == c_OK && state.kind == tReply::eAck)
            why = state.data == "D" ? ", the motor is disabled (stalled?); MC " + l + "+ enables it again"
                  : state.data == "U" || state.data == "L" ? ", at a limit"
                                                           : "";
        return Fail(c_DeviceFault,
                    l + " came to rest at " + std::to_string(ticks) + " instead of " + std::to_string(target) + why);
    }
    return c_OK;
}

int CAsiStage::WaitAxes(const Axes& axes, std::uint32_t timeoutMs, unsigned stopsBefore)
{
    for (int axis : axes)
        if (!Find(axis))
            return stg::c_NoSuchAxis;
    const bool limited = timeoutMs != stg::c_waitForever;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        int rc = c_OK;
        const bool busy = Busy(axes, rc);
        if (rc != c_OK)
            return rc;
        if (Stops() != stopsBefore) {
            for (int axis : axes)
                m_targets.erase(axis);
            return Fail(stg::c_Stopped, "stopped");
        }
        if (!busy)
            return CheckTargets(axes);
        if (limited && Clock::now() >= deadline)
            return stg::c_Timeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(c_pollMs), [&] { return m_stops != stopsBefore; });
    }
}

int CAsiStage::MoveToPosImpl(const TickMap& targets)
{
    const unsigned stops = Stops();
    const int rc = StartMoves(targets);
    if (rc == c_OK && Stops() != stops) { // a stop that came before the move reached the controller
        tReply halted;
        Command("\\", halted);
        return Fail(stg::c_Stopped, "stopped");
    }
    return rc;
}

int CAsiStage::SetPositionImpl(const TickMap& targets)
{
    const unsigned stops = Stops();
    const int rc = StartMoves(targets);
    if (rc != c_OK)
        return rc;
    Axes axes;
    for (const auto& entry : targets)
        axes.push_back(entry.first);
    return WaitAxes(axes, stg::c_waitForever, stops);
}

int CAsiStage::MoveFreeImpl(const SpeedMap& speeds)
{
    std::string command = "VE";
    for (const auto& [axis, sign] : speeds) {
        const tAxis* found = Find(axis);
        if (!found)
            return stg::c_NoSuchAxis;
        if (!std::isfinite(sign))
            return stg::c_InvalidValue;
        double speed = 0.0;
        const int rc = stg::ReadAxisProperty(*this, axis, stg::c_propSpeed, speed);
        if (rc != c_OK)
            return rc;
        // With UM negative the counter runs against the motor; VECTOR's sign is taken to follow
        // the motor (unconfirmed), so the sign is turned to keep "up" toward higher ticks.
        const double direction = (sign > 0.0 ? 1.0 : sign < 0.0 ? -1.0 : 0.0) * (found->unitsPerMm < 0.0 ? -1.0 : 1.0);
        command += std::string(" ") + found->letter + "=" + Mm(direction * speed / std::fabs(found->unitsPerMm));
        m_targets.erase(axis); // a run has no target to reach
    }
    tReply reply;
    return Command(command, reply);
}

bool CAsiStage::IsMovingImpl(const Axes& axes)
{
    int rc = c_OK;
    return Busy(axes, rc);
}

int CAsiStage::WaitForStopImpl(const Axes& axes, std::uint32_t timeoutMs) { return WaitAxes(axes, timeoutMs, Stops()); }

int CAsiStage::StopMovingImpl()
{
    // Any thread, without the stage lock: a blocking slot of another thread may be waiting.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_stops;
        if (!m_link)
            return stg::c_GeneralFailure;
    }
    m_changed.notify_all();
    tReply reply;
    const int halted = Command("\\", reply);
    if (halted != c_OK && halted != stg::c_Stopped) // :N-21: it interrupted a move, as asked
        return halted;
    // Returns once the axes are at rest, so that the next position read is final.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(c_stopLimitMs);
    for (;;) {
        tReply status;
        const int rc = Command("/", status);
        if (rc != c_OK)
            return rc;
        if (status.kind == tReply::eStatus && !status.busy)
            return c_OK;
        if (Clock::now() >= deadline)
            return Fail(stg::c_Timeout, "stop: the axes did not come to rest");
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(c_pollMs));
    }
}

int CAsiStage::GetPositionImpl(TickMap& positions, const stg::ESelection& selection)
{
    if (selection == stg::eAllAxes) {
        positions.clear();
        for (const auto& entry : m_axes)
            positions.emplace(entry.first, 0);
    }
    for (auto& [axis, ticks] : positions) {
        const tAxis* found = Find(axis);
        if (!found)
            return stg::c_NoSuchAxis;
        const int rc = Position(*found, ticks);
        if (rc != c_OK)
            return rc;
    }
    return c_OK;
}

int CAsiStage::RunTo(const Axes& axes, bool upper, unsigned stopsBefore)
{
    TickMap targets;
    for (int axis : axes) {
        const tAxis* found = Find(axis);
        if (!found)
            return stg::c_NoSuchAxis;
        targets[axis] = upper ? found->highTicks : found->lowTicks;
    }
    int rc = StartMoves(targets);
    if (rc == c_OK)
        rc = WaitAxes(axes, stg::c_waitForever, stopsBefore);
    // A hardware switch before the firmware limit ends the run early: an end, not a failure.
    if (rc == c_DeviceFault)
        rc = c_OK;
    for (int axis : axes)
        m_targets.erase(axis);
    return rc;
}

int CAsiStage::GotoUpperLimitImpl(const Axes& axes) { return RunTo(axes, true, Stops()); }

int CAsiStage::GotoLowerLimitImpl(const Axes& axes) { return RunTo(axes, false, Stops()); }

int CAsiStage::InitRangesImpl(const Axes& axes)
{
    const unsigned stops = Stops();
    TickMap start, lower, upper;
    for (int axis : axes)
        start[axis] = lower[axis] = upper[axis] = 0;
    int rc = GetPositionImpl(start, stg::eGivenAxes);
    if (rc == c_OK)
        rc = RunTo(axes, false, stops);
    if (rc == c_OK)
        rc = GetPositionImpl(lower, stg::eGivenAxes);
    if (rc == c_OK)
        rc = RunTo(axes, true, stops);
    if (rc == c_OK)
        rc = GetPositionImpl(upper, stg::eGivenAxes);
    if (rc == c_OK)
        rc = StartMoves(start);
    if (rc == c_OK)
        rc = WaitAxes(axes, stg::c_waitForever, stops);
    for (auto it = axes.begin(); rc == c_OK && it != axes.end(); ++it)
        rc = SetAxisLimits(*it, lower[*it], upper[*it]);
    return rc;
}

} // namespace asi
