#include "CLineEmulator.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace emukit {
namespace {

// A command line longer than this is dropped: a host that sends without line ends costs the
// emulator bounded memory.
constexpr std::size_t c_maxCommandBytes = 4096;
// The longest wait for a command before the protocol is asked for unprompted lines again.
constexpr int c_maxPollMs = 1000;

std::vector<std::string> SplitWords(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

} // namespace

CLineEmulator::CLineEmulator(std::string linkPath, std::string commandEnds, char ignored, std::uint32_t seed)
    : m_linkPath(std::move(linkPath)), m_commandEnds(std::move(commandEnds)), m_ignored(ignored),
      m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_random(seed)
{
}

CLineEmulator::~CLineEmulator()
{
    Stop();
    if (m_wake >= 0)
        close(m_wake);
}

bool CLineEmulator::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running)
        return true;
    if (!m_terminal.Open(m_linkPath)) {
        m_error = m_terminal.Error();
        return false;
    }
    m_running = true;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void CLineEmulator::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_running = false;
    }
    Wake();
    m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_terminal.Remove();
}

std::string CLineEmulator::Path() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_terminal.Path();
}

std::string CLineEmulator::Error() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void CLineEmulator::Wake()
{
    const std::uint64_t one = 1;
    if (m_wake >= 0)
        (void)!write(m_wake, &one, sizeof(one));
}

void CLineEmulator::Silence(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_silent = on;
}

void CLineEmulator::DelayNextReply(int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delayMs = std::max(0, ms);
}

void CLineEmulator::SetReplyDelay(int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delayAllMs = std::max(0, ms);
}

void CLineEmulator::GarbleNextReply()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_garbleNext = true;
}

void CLineEmulator::SplitNextReply()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_splitNext = true;
}

void CLineEmulator::SetGarbleRate(double probability)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_garbleRate = std::clamp(probability, 0.0, 1.0);
}

void CLineEmulator::Vanish()
{
    // Only the serving thread reads and writes the terminal, under m_mutex; closing it here
    // under the same lock never pulls a descriptor away from under a read.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_terminal.Close();
    Wake();
}

bool CLineEmulator::Reappear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_terminal.IsOpen())
        return true;
    m_buffer.clear();
    const bool opened = m_terminal.Open(m_linkPath);
    if (!opened)
        m_error = m_terminal.Error();
    Wake();
    return opened;
}

bool CLineEmulator::Vanished() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_terminal.IsOpen();
}

int CLineEmulator::CommandsReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

bool CLineEmulator::WaitForCommands(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_handled.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_commands >= count; });
}

bool CLineEmulator::Control(const std::string& line)
{
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty())
        return false;
    const std::string& verb = words[0];
    try {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (ControlProtocol(words)) {
                Wake(); // what is due unprompted may have changed
                return true;
            }
        }
        if (words.size() == 2 && verb == "silent" && (words[1] == "on" || words[1] == "off"))
            Silence(words[1] == "on");
        else if (words.size() == 2 && verb == "delay")
            DelayNextReply(std::stoi(words[1]));
        else if (words.size() == 2 && verb == "delay-all")
            SetReplyDelay(std::stoi(words[1]));
        else if (words.size() == 1 && verb == "garble")
            GarbleNextReply();
        else if (words.size() == 2 && verb == "garble-rate")
            SetGarbleRate(std::stod(words[1]));
        else if (words.size() == 1 && verb == "split")
            SplitNextReply();
        else if (words.size() == 1 && verb == "vanish")
            Vanish();
        else if (words.size() == 1 && verb == "return")
            return Reappear();
        else
            return false;
    } catch (const std::exception&) { // a number that is none
        return false;
    }
    return true;
}

std::string CLineEmulator::Garble(const std::string& reply)
{
    static const char c_noise[] = "#%&?~^";
    std::string garbled;
    std::size_t start = 0;
    for (std::size_t end; (end = reply.find('\n', start)) != std::string::npos || start < reply.size();) {
        const std::size_t stop = end == std::string::npos ? reply.size() : end + 1;
        std::string line = reply.substr(start, stop - start);
        const bool noise = m_garbleNext || std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < m_garbleRate;
        if (noise) {
            for (char& c : line)
                if (c != '\r' && c != '\n')
                    c = c_noise[std::uniform_int_distribution<std::size_t>(0, sizeof(c_noise) - 2)(m_random)];
            m_garbleNext = false;
        }
        garbled += line;
        start = stop;
    }
    return garbled;
}

void CLineEmulator::Serve()
{
    for (;;) {
        int master = -1, waitMs = c_maxPollMs;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_running)
                return;
            master = m_terminal.Master();
            const std::string lines = Unprompted(waitMs);
            if (master >= 0 && !m_silent)
                (void)!write(master, lines.data(), lines.size());
        }
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {master, POLLIN, 0}};
        poll(fds, master >= 0 ? 2 : 1, std::clamp(waitMs, 0, c_maxPollMs));
        std::uint64_t count = 0;
        while (read(m_wake, &count, sizeof(count)) > 0) {
        }
        if (master < 0 || (fds[1].revents & POLLIN) == 0)
            continue;

        std::string reply;
        int delayMs = 0;
        bool split = false, vanish = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_terminal.Master() != master)
                continue; // vanished meanwhile
            char chunk[512];
            const ssize_t n = read(master, chunk, sizeof(chunk));
            if (n <= 0)
                continue;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = chunk[i];
                if (m_ignored != '\0' && c == m_ignored)
                    continue;
                if (m_commandEnds.find(c) == std::string::npos) {
                    if (m_buffer.size() < c_maxCommandBytes)
                        m_buffer += c;
                    continue;
                }
                const std::string line = std::exchange(m_buffer, std::string());
                ++m_commands;
                reply += Handle(line);
            }
            m_handled.notify_all();
            if (reply.empty() || m_silent) {
                if (std::exchange(m_vanishDue, false))
                    m_terminal.Close();
                continue;
            }
            split = std::exchange(m_splitNext, false);
            if (m_garbleNext || m_garbleRate > 0.0) {
                reply = Garble(reply);
                split = true;
            }
            delayMs = std::max(std::exchange(m_delayMs, 0), m_delayAllMs);
            vanish = std::exchange(m_vanishDue, false);
        }
        // Outside the lock, so that faults and Stop can be asked for meanwhile; only this thread
        // writes, and Vanish waits for the lock, so the descriptor stays valid until the next round.
        if (delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_terminal.Master() != master)
            continue;
        if (split) {
            const std::size_t half = reply.size() / 2;
            (void)!write(master, reply.data(), half);
            tcdrain(master);
            (void)!write(master, reply.data() + half, reply.size() - half);
        } else {
            (void)!write(master, reply.data(), reply.size());
        }
        if (vanish) {
            tcdrain(master);
            m_terminal.Close();
        }
    }
}

} // namespace emukit
