#include <platform/CSerialPort.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

struct tBaud {
    int rate;
    speed_t constant;
};

constexpr tBaud c_bauds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200},
                             {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

bool BaudConstant(int baud, speed_t& speed)
{
    for (const tBaud& known : c_bauds)
        if (known.rate == baud) {
            speed = known.constant;
            return true;
        }
    return false;
}

// A device that went away: the USB adapter was unplugged or the other end of a pseudo-terminal
// closed.
bool IsVanished(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

const char* LineEndBytes(ELineEnd end) noexcept
{
    switch (end) {
    case ELineEnd::eCR:
        return "\r";
    case ELineEnd::eCRLF:
        return "\r\n";
    case ELineEnd::eLF:
        break;
    }
    return "\n";
}

const std::vector<int>& BaudRates()
{
    static const std::vector<int> rates = [] {
        std::vector<int> list;
        for (const tBaud& known : c_bauds)
            list.push_back(known.rate);
        return list;
    }();
    return rates;
}

bool IsBaudRate(int baud) noexcept
{
    speed_t speed = B0;
    return BaudConstant(baud, speed);
}

CSerialPort::CSerialPort() : m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CSerialPort::~CSerialPort()
{
    Close();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

ESerialStatus CSerialPort::Fail(ESerialStatus status, const std::string& what, int error)
{
    std::string text = m_path + ": " + what;
    if (error != 0)
        text += ": " + std::generic_category().message(error); // strerror() is not thread safe
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_error = std::move(text);
    return status;
}

std::string CSerialPort::LastError() const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_error;
}

ESerialStatus CSerialPort::Open(const std::string& path, int baud)
{
    Close();
    m_path = path;
    {
        std::lock_guard<std::mutex> lock(m_errorMutex);
        m_error.clear();
    }
    std::uint64_t drained = 0;
    while (m_wakeFd >= 0 && read(m_wakeFd, &drained, sizeof(drained)) > 0) {
    }
    speed_t speed = B0;
    if (!BaudConstant(baud, speed))
        return Fail(ESerialStatus::eFailed, "unsupported baud rate " + std::to_string(baud), 0);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(errno == EBUSY ? ESerialStatus::eInUse : ESerialStatus::eFailed, "cannot open", errno);
    // The lock keeps out every other open, also root's, which TIOCEXCL alone does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return Fail(error == EWOULDBLOCK ? ESerialStatus::eInUse : ESerialStatus::eFailed,
                    error == EWOULDBLOCK ? "port in use by another program" : "cannot lock", error);
    }
    termios tty{};
    if (tcgetattr(fd, &tty) != 0) {
        const int error = errno;
        close(fd);
        return Fail(ESerialStatus::eFailed, "not a serial port", error);
    }
    cfmakeraw(&tty); // 8 data bits, no parity, no echo, no line editing, no translations
    tty.c_cflag &= ~(CSTOPB | CRTSCTS);
    tty.c_cflag |= CLOCAL | CREAD;
    tty.c_iflag &= ~(IXON | IXOFF | IXANY);
    tty.c_cc[VMIN] = 0;
    tty.c_cc[VTIME] = 0;
    cfsetispeed(&tty, speed);
    cfsetospeed(&tty, speed);
    if (tcsetattr(fd, TCSANOW, &tty) != 0) {
        const int error = errno;
        close(fd);
        return Fail(ESerialStatus::eFailed, "cannot set 8N1 raw mode", error);
    }
    ioctl(fd, TIOCEXCL);
    tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    m_buffer.clear();
    m_skipping = false;
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_refused = 0;
    return ESerialStatus::eOK;
}

void CSerialPort::Close()
{
    if (m_fd < 0)
        return;
    ioctl(m_fd, TIOCNXCL);
    close(m_fd); // releases the lock
    m_fd = -1;
    m_buffer.clear();
    m_skipping = false;
}

ESerialStatus CSerialPort::Write(const std::string& bytes, int timeoutMs)
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(m_fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return Fail(IsVanished(errno) ? ESerialStatus::eVanished : ESerialStatus::eFailed, "cannot write", errno);
        pollfd out{m_fd, POLLOUT, 0};
        const int ready = poll(&out, 1, RemainingMs(deadline));
        if (ready == 0)
            return Fail(ESerialStatus::eTimeout, "write timed out", 0);
        if (ready > 0 && (out.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Fail(ESerialStatus::eVanished, "device gone", 0);
    }
    return ESerialStatus::eOK;
}

ESerialStatus CSerialPort::WriteLine(const std::string& text, int timeoutMs)
{
    return Write(text + LineEndBytes(m_commandEnd), timeoutMs);
}

bool CSerialPort::TakeLine(std::string& line)
{
    const bool pair = m_replyEnd == ELineEnd::eCRLF;
    const char endChar = m_replyEnd == ELineEnd::eCR ? '\r' : '\n';
    const char dropChar = m_replyEnd == ELineEnd::eCR ? '\n' : m_replyEnd == ELineEnd::eLF ? '\r' : '\0';
    for (;;) {
        const std::size_t end = pair ? m_buffer.find("\r\n") : m_buffer.find(endChar);
        const std::size_t endLength = pair ? 2 : 1;
        if (end == std::string::npos) {
            // A CR at the very end may be the first half of the pair: kept for the next round.
            const std::size_t keep = pair && !m_buffer.empty() && m_buffer.back() == '\r' ? 1 : 0;
            if (m_skipping) {
                m_buffer.erase(0, m_buffer.size() - keep);
                return false;
            }
            if (m_buffer.size() - keep <= m_maxLine)
                return false;
            m_buffer.erase(0, m_buffer.size() - keep);
            m_skipping = true;
        } else if (m_skipping) {
            m_buffer.erase(0, end + endLength);
            m_skipping = false;
            continue;
        } else {
            line.clear();
            for (std::size_t i = 0; i < end; ++i)
                if (m_buffer[i] != dropChar || dropChar == '\0')
                    line += m_buffer[i];
            m_buffer.erase(0, end + endLength);
            if (line.size() <= m_maxLine)
                return true;
        }
        std::lock_guard<std::mutex> lock(m_errorMutex);
        ++m_refused;
        m_error = m_path + ": refused a line longer than " + std::to_string(m_maxLine) +
                  " bytes (a device sending without line ends, or at another baud rate?)";
    }
}

ESerialStatus CSerialPort::Fill(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = poll(fds, m_wakeFd >= 0 ? 2 : 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Fail(ESerialStatus::eFailed, "cannot wait for data", errno);
        if (ready == 0)
            return ESerialStatus::eTimeout;
        if (m_wakeFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            if (read(m_wakeFd, &count, sizeof(count)) > 0)
                return ESerialStatus::eCancelled;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char chunk[256];
            const ssize_t n = read(m_fd, chunk, sizeof(chunk));
            if (n > 0) {
                m_buffer.append(chunk, static_cast<std::size_t>(n));
                return ESerialStatus::eOK;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n == 0 || IsVanished(errno))
                return Fail(ESerialStatus::eVanished, "device gone", n == 0 ? 0 : errno);
            return Fail(ESerialStatus::eFailed, "cannot read", errno);
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Fail(ESerialStatus::eVanished, "device gone", 0);
    }
}

ESerialStatus CSerialPort::ReadLine(std::string& line, int timeoutMs)
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TakeLine(line))
            return ESerialStatus::eOK;
        const ESerialStatus status = Fill(RemainingMs(deadline));
        if (status != ESerialStatus::eOK)
            return status;
    }
}

ESerialStatus CSerialPort::ReadAvailable(std::string& bytes, int timeoutMs)
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    if (m_buffer.empty()) {
        const ESerialStatus status = Fill(timeoutMs);
        if (status != ESerialStatus::eOK)
            return status;
    }
    // Whatever else is there already, without waiting.
    while (m_buffer.size() < m_maxLine && Fill(0) == ESerialStatus::eOK) {
    }
    const std::size_t count = std::min(m_buffer.size(), m_maxLine);
    bytes = m_buffer.substr(0, count);
    m_buffer.erase(0, count);
    return ESerialStatus::eOK;
}

ESerialStatus CSerialPort::Purge()
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    tcflush(m_fd, TCIFLUSH);
    // Bytes the driver had passed on before the flush, or that arrive while it runs.
    ESerialStatus status = ESerialStatus::eOK;
    while ((status = Fill(0)) == ESerialStatus::eOK)
        m_buffer.clear();
    m_buffer.clear();
    m_skipping = false;
    return status == ESerialStatus::eTimeout || status == ESerialStatus::eCancelled ? ESerialStatus::eOK : status;
}

ESerialStatus CSerialPort::SetModemLines(bool dtr, bool rts)
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    int raise = 0, lower = 0;
    (dtr ? raise : lower) |= TIOCM_DTR;
    (rts ? raise : lower) |= TIOCM_RTS;
    if (ioctl(m_fd, TIOCMBIS, &raise) != 0 || ioctl(m_fd, TIOCMBIC, &lower) != 0)
        return Fail(ESerialStatus::eFailed, "cannot set the DTR and RTS lines", errno);
    return ESerialStatus::eOK;
}

int CSerialPort::RefusedLines() const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_refused;
}

void CSerialPort::CancelRead()
{
    const std::uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!write(m_wakeFd, &one, sizeof(one));
}

const char* SerialStatusName(ESerialStatus status) noexcept
{
    switch (status) {
    case ESerialStatus::eOK:
        return "done";
    case ESerialStatus::eTimeout:
        return "timed out";
    case ESerialStatus::eCancelled:
        return "cancelled";
    case ESerialStatus::eInUse:
        return "port in use";
    case ESerialStatus::eVanished:
        return "device gone";
    case ESerialStatus::eNotOpen:
        return "port not open";
    case ESerialStatus::eFailed:
        return "failed";
    }
    return "failed";
}

} // namespace plat
