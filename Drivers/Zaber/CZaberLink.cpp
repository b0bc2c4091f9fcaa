#include "CZaberLink.h"

#include <chrono>

namespace zaber {
namespace {

using Clock = std::chrono::steady_clock;
using plat::ESerialStatus;

// How long the reader sleeps in one poll when nothing arrives; Close wakes it at once.
constexpr int c_readSliceMs = 1000;

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

} // namespace

CZaberLink::CZaberLink() = default;

CZaberLink::~CZaberLink() { Close(); }

void CZaberLink::SetReplyTimeout(int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyTimeoutMs = timeoutMs > 0 ? timeoutMs : 1000;
}

ELink CZaberLink::Open(const std::string& path, int baud)
{
    Close();
    const ELink status = FromSerial(m_port.Open(path, baud));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (status != ELink::eOK) {
        m_error = m_port.LastError();
        return status;
    }
    m_error.clear();
    m_vanished = false;
    m_running = true;
    m_replies.clear();
    m_reader = std::thread([this] { Read(); });
    return ELink::eOK;
}

void CZaberLink::Close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_port.CancelRead();
    if (m_reader.joinable())
        m_reader.join();
    m_port.Close();
    m_arrived.notify_all();
}

bool CZaberLink::IsUp() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running && !m_vanished;
}

std::string CZaberLink::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

int CZaberLink::DroppedLines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

void CZaberLink::Read()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_running)
                return;
        }
        std::string line;
        const ESerialStatus status = m_port.ReadLine(line, c_readSliceMs);
        if (status == ESerialStatus::eTimeout || status == ESerialStatus::eCancelled)
            continue;
        if (status != ESerialStatus::eOK) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vanished = true;
            m_error = m_port.LastError();
            m_arrived.notify_all();
            return;
        }
        tMessage message;
        if (ParseDeviceLine(line, message) != EParse::eOK) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_dropped;
            continue;
        }
        if (message.kind == '!') {
            if (m_alertHandler)
                m_alertHandler(message);
            continue;
        }
        if (message.kind != '@')
            continue; // info lines are meant for people
        std::lock_guard<std::mutex> lock(m_mutex);
        // The reply with the ID sent; without an ID, any from the device addressed (or from any
        // device, after a broadcast, which carries no ID).
        const bool wanted =
            m_waiting && ((m_pendingID != c_noID && message.id == m_pendingID) ||
                          (message.id == c_noID && (m_pendingAddress == 0 || message.address == m_pendingAddress)));
        if (!wanted) {
            ++m_dropped;
            continue;
        }
        m_replies.push_back(std::move(message));
        m_arrived.notify_all();
    }
}

void CZaberLink::SetWithoutIDs(int address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_withoutIDs.insert(address);
}

ELink CZaberLink::Send(int address, int axis, const std::string& words, bool withID)
{
    int id = c_noID;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return ELink::eNotOpen;
        if (m_vanished)
            return ELink::eVanished;
        if (withID && m_withoutIDs.count(address) == 0) {
            m_lastID = m_lastID % 99 + 1; // 1..99; a late reply to an old ID is never mistaken soon
            id = m_lastID;
        }
        m_pendingID = id;
        m_waiting = true;
        m_pendingAddress = address;
        m_replies.clear();
    }
    const ESerialStatus status = m_port.Write(FormatCommand(address, axis, id, words));
    if (status != ESerialStatus::eOK) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting = false;
        m_error = m_port.LastError();
        if (status == ESerialStatus::eVanished)
            m_vanished = true;
        return status == ESerialStatus::eVanished ? ELink::eVanished : ELink::eTimeout;
    }
    return ELink::eOK;
}

ELink CZaberLink::Request(int address, int axis, const std::string& words, tMessage& reply)
{
    std::lock_guard<std::mutex> one(m_requestMutex);
    const ELink sent = Send(address, axis, words, true);
    if (sent != ELink::eOK)
        return sent;
    std::unique_lock<std::mutex> lock(m_mutex);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    m_arrived.wait_until(lock, deadline, [this] { return !m_replies.empty() || m_vanished || !m_running; });
    m_waiting = false;
    if (!m_replies.empty()) {
        reply = std::move(m_replies.front());
        m_replies.clear();
        return ELink::eOK;
    }
    if (!m_running)
        return ELink::eNotOpen;
    if (m_vanished)
        return ELink::eVanished;
    m_error = "no reply to \"" + words + "\" from device " + std::to_string(address) + " within " +
              std::to_string(m_replyTimeoutMs) + " ms";
    return ELink::eTimeout;
}

ELink CZaberLink::Broadcast(const std::string& words, int quietMs, std::vector<tMessage>& replies)
{
    std::lock_guard<std::mutex> one(m_requestMutex);
    const ELink sent = Send(0, 0, words, false);
    if (sent != ELink::eOK)
        return sent;
    std::unique_lock<std::mutex> lock(m_mutex);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    std::size_t seen = 0;
    Clock::time_point quietUntil = deadline;
    while (m_running && !m_vanished) {
        const Clock::time_point until = std::min(deadline, quietUntil);
        m_arrived.wait_until(lock, until, [&] { return m_replies.size() > seen || m_vanished || !m_running; });
        if (m_replies.size() > seen) {
            seen = m_replies.size();
            quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
            continue;
        }
        if (Clock::now() >= until)
            break;
    }
    m_waiting = false;
    replies = std::move(m_replies);
    m_replies.clear();
    if (!replies.empty())
        return ELink::eOK;
    if (m_vanished)
        return ELink::eVanished;
    m_error = "no device answered on " + m_port.Path();
    return m_running ? ELink::eTimeout : ELink::eNotOpen;
}

} // namespace zaber
