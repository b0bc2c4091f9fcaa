#include <platform/CSerialLink.h>

#include <algorithm>
#include <chrono>

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

// How long the reader sleeps in one poll when nothing arrives; Close and Purge wake it at once.
constexpr int c_readSliceMs = 1000;

} // namespace

CSerialLink::CSerialLink() = default;

CSerialLink::~CSerialLink() { Close(); }

void CSerialLink::SetFraming(ELineEnd command, ELineEnd reply, std::size_t maxLineLength)
{
    m_port.SetCommandLineEnd(command);
    m_port.SetReplyLineEnd(reply);
    m_port.SetMaxLineLength(maxLineLength);
}

void CSerialLink::SetReplyTimeout(int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyTimeoutMs = timeoutMs > 0 ? timeoutMs : 1000;
}

int CSerialLink::ReplyTimeout() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_replyTimeoutMs;
}

ESerialStatus CSerialLink::Open(const std::string& path, int baud)
{
    Close();
    const ESerialStatus status = m_port.Open(path, baud);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (status != ESerialStatus::eOK) {
        m_error = m_port.LastError();
        return status;
    }
    m_error.clear();
    m_vanished = false;
    m_purgeAsked = false;
    m_running = true;
    m_matcher = nullptr;
    m_lines.clear();
    m_reader = std::thread([this] { Read(); });
    return ESerialStatus::eOK;
}

void CSerialLink::Close()
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

bool CSerialLink::IsUp() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running && !m_vanished;
}

std::string CSerialLink::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

int CSerialLink::DroppedLines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped + m_port.RefusedLines();
}

void CSerialLink::Read()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_running)
                return;
            if (m_purgeAsked) {
                m_port.Purge();
                m_purgeAsked = false;
                m_arrived.notify_all();
            }
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
        bool unsolicited = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_arrivals;
            const ETake take = m_matcher && (!m_complete || m_untilQuiet) ? (*m_matcher)(line) : ETake::eNotMine;
            if (take == ETake::eNotMine) {
                unsolicited = static_cast<bool>(m_unsolicited);
                if (!unsolicited)
                    ++m_dropped;
            } else {
                m_lines.push_back(line);
                m_complete = take == ETake::eReply;
            }
            m_arrived.notify_all();
        }
        if (unsolicited)
            m_unsolicited(line);
    }
}

ESerialStatus CSerialLink::Write(const std::string& command, const Matcher* matcher, bool untilQuiet)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return ESerialStatus::eNotOpen;
        if (m_vanished)
            return ESerialStatus::eVanished;
        m_matcher = matcher;
        m_lines.clear();
        m_complete = false;
        m_untilQuiet = untilQuiet;
    }
    const ESerialStatus status = m_port.WriteLine(command);
    if (status != ESerialStatus::eOK) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_matcher = nullptr;
        m_error = m_port.LastError();
        if (status == ESerialStatus::eVanished)
            m_vanished = true;
        return status == ESerialStatus::eVanished ? ESerialStatus::eVanished : ESerialStatus::eTimeout;
    }
    return ESerialStatus::eOK;
}

ESerialStatus CSerialLink::Request(const std::string& command, const Matcher& matcher, std::vector<std::string>& lines,
                                   int quietMs)
{
    std::lock_guard<std::mutex> one(m_requestMutex);
    const ESerialStatus sent = Write(command, &matcher, quietMs > 0);
    if (sent != ESerialStatus::eOK)
        return sent;
    std::unique_lock<std::mutex> lock(m_mutex);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    const auto ended = [this] { return m_complete || m_vanished || !m_running; };
    if (quietMs <= 0) {
        m_arrived.wait_until(lock, deadline, ended);
    } else {
        // Each line taken reopens the collection for another `quietMs`.
        for (std::size_t seen = 0;;) {
            const Clock::time_point until =
                m_lines.empty() ? deadline : std::min(deadline, Clock::now() + std::chrono::milliseconds(quietMs));
            m_arrived.wait_until(lock, until, [&] { return m_lines.size() > seen || m_vanished || !m_running; });
            if (m_vanished || !m_running || m_lines.size() == seen)
                break;
            seen = m_lines.size();
        }
        m_untilQuiet = false;
        m_complete = m_complete || !m_lines.empty();
    }
    m_matcher = nullptr;
    const bool complete = m_complete;
    lines = std::move(m_lines);
    m_lines.clear();
    if (complete)
        return ESerialStatus::eOK;
    if (!m_running)
        return ESerialStatus::eNotOpen;
    if (m_vanished)
        return ESerialStatus::eVanished;
    m_error =
        "no reply to \"" + command + "\" on " + m_port.Path() + " within " + std::to_string(m_replyTimeoutMs) + " ms";
    return ESerialStatus::eTimeout;
}

ESerialStatus CSerialLink::Request(const std::string& command, std::string& reply)
{
    const Matcher firstLine = [](const std::string& line) { return line.empty() ? ETake::eNotMine : ETake::eReply; };
    std::vector<std::string> lines;
    const ESerialStatus status = Request(command, firstLine, lines);
    reply = status == ESerialStatus::eOK && !lines.empty() ? lines.back() : std::string();
    return status;
}

ESerialStatus CSerialLink::Purge(int quietMs)
{
    std::lock_guard<std::mutex> one(m_requestMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_running)
        return ESerialStatus::eNotOpen;
    m_matcher = nullptr;
    m_purgeAsked = true;
    m_port.CancelRead();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    m_arrived.wait_until(lock, deadline, [this] { return !m_purgeAsked || m_vanished || !m_running; });
    for (;;) {
        if (m_vanished)
            return ESerialStatus::eVanished;
        if (!m_running)
            return ESerialStatus::eNotOpen;
        const unsigned before = m_arrivals;
        const Clock::time_point until = std::min(deadline, Clock::now() + std::chrono::milliseconds(quietMs));
        if (!m_arrived.wait_until(lock, until, [&] { return m_arrivals != before || m_vanished || !m_running; }))
            return until < deadline ? ESerialStatus::eOK : ESerialStatus::eTimeout;
    }
}

ESerialStatus CSerialLink::Send(const std::string& command)
{
    std::lock_guard<std::mutex> one(m_requestMutex);
    return Write(command, nullptr, false);
}

} // namespace plat
