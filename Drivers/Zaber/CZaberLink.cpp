#include "CZaberLink.h"

namespace zaber {
namespace {

using plat::ESerialStatus;

ELink FromSerial(ESerialStatus status)
{
    switch (status) {
    case ESerialStatus::eOK:
        return ELink::eOK;
    case ESerialStatus::eTimeout:
        return ELink::eTimeout;
    case ESerialStatus::eInUse:
        return ELink::eInUse;
    case ESerialStatus::eVanished:
        return ELink::eVanished;
    case ESerialStatus::eNotOpen:
        return ELink::eNotOpen;
    default:
        return ELink::eFailed;
    }
}

// A command as the serial link sends it: the link writes the line end itself.
std::string CommandLine(int address, int axis, int id, const std::string& words)
{
    std::string command = FormatCommand(address, axis, id, words);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
        command.pop_back();
    return command;
}

} // namespace

CZaberLink::CZaberLink()
{
    m_link.SetFraming(plat::ELineEnd::eLF, plat::ELineEnd::eLF);
    m_link.SetUnsolicitedHandler([this](const std::string& line) { Unsolicited(line); });
}

CZaberLink::~CZaberLink() { Close(); }

void CZaberLink::SetReplyTimeout(int timeoutMs) { m_link.SetReplyTimeout(timeoutMs); }

ELink CZaberLink::Open(const std::string& path, int baud)
{
    const ELink status = FromSerial(m_link.Open(path, baud));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = status == ELink::eOK ? std::string() : m_link.LastError();
    return status;
}

void CZaberLink::Close() { m_link.Close(); }

bool CZaberLink::IsUp() const { return m_link.IsUp(); }

std::string CZaberLink::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

int CZaberLink::DroppedLines() const
{
    const int byLink = m_link.DroppedLines();
    std::lock_guard<std::mutex> lock(m_mutex);
    return byLink + m_dropped;
}

void CZaberLink::SetWithoutIDs(int address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_withoutIDs.insert(address);
}

void CZaberLink::Unsolicited(const std::string& line)
{
    tMessage message;
    const bool parsed = ParseDeviceLine(line, message) == EParse::eOK;
    if (parsed && message.kind == '!') {
        if (m_alertHandler)
            m_alertHandler(message);
        return;
    }
    if (parsed && message.kind == '#')
        return; // info lines are meant for people
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_dropped;
}

ELink CZaberLink::Failed(ESerialStatus status, const std::string& own)
{
    const std::string said = m_link.LastError();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = status == ESerialStatus::eTimeout && !own.empty() ? own : said;
    return FromSerial(status);
}

ELink CZaberLink::Request(int address, int axis, const std::string& words, tMessage& reply)
{
    int id = c_noID;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_withoutIDs.count(address) == 0) {
            m_lastID = m_lastID % 99 + 1; // 1..99; a late reply to an old ID is never mistaken soon
            id = m_lastID;
        }
    }
    // The reply with the ID sent; without any ID, one from the device addressed.
    const plat::CSerialLink::Matcher matcher = [id, address](const std::string& line) {
        tMessage message;
        const bool wanted =
            ParseDeviceLine(line, message) == EParse::eOK && message.kind == '@' &&
            ((id != c_noID && message.id == id) || (message.id == c_noID && message.address == address));
        return wanted ? plat::ETake::eReply : plat::ETake::eNotMine;
    };
    std::vector<std::string> lines;
    const ESerialStatus status = m_link.Request(CommandLine(address, axis, id, words), matcher, lines);
    if (status != ESerialStatus::eOK || lines.empty())
        return Failed(status == ESerialStatus::eOK ? ESerialStatus::eTimeout : status,
                      "no reply to \"" + words + "\" from device " + std::to_string(address) + " within " +
                          std::to_string(m_link.ReplyTimeout()) + " ms");
    ParseDeviceLine(lines.back(), reply);
    return ELink::eOK;
}

ELink CZaberLink::Broadcast(const std::string& words, int quietMs, std::vector<tMessage>& replies)
{
    // A broadcast carries no message ID, so every device answers without one.
    const plat::CSerialLink::Matcher matcher = [](const std::string& line) {
        tMessage message;
        const bool wanted =
            ParseDeviceLine(line, message) == EParse::eOK && message.kind == '@' && message.id == c_noID;
        return wanted ? plat::ETake::eReply : plat::ETake::eNotMine;
    };
    std::vector<std::string> lines;
    const ESerialStatus status = m_link.Request(CommandLine(0, 0, c_noID, words), matcher, lines, quietMs);
    replies.clear();
    for (const std::string& line : lines) {
        tMessage message;
        if (ParseDeviceLine(line, message) == EParse::eOK)
            replies.push_back(std::move(message));
    }
    if (status == ESerialStatus::eOK && !replies.empty())
        return ELink::eOK;
    return Failed(status == ESerialStatus::eOK ? ESerialStatus::eTimeout : status,
                  "no device answered on " + m_link.Path());
}

} // namespace zaber
