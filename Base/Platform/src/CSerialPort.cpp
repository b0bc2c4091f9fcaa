#include <platform/CSerialPort.h>

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

bool BaudConstant(int baud, speed_t& speed)
{
    switch (baud) {
    case 1200:
        speed = B1200;
        return true;
    case 2400:
        speed = B2400;
        return true;
    case 4800:
        speed = B4800;
        return true;
    case 9600:
        speed = B9600;
        return true;
    case 19200:
        speed = B19200;
        return true;
    case 38400:
        speed = B38400;
        return true;
    case 57600:
        speed = B57600;
        return true;
    case 115200:
        speed = B115200;
        return true;
    case 230400:
        speed = B230400;
        return true;
    default:
        return false;
    }
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

ESerialStatus CSerialPort::ReadLine(std::string& line, int timeoutMs)
{
    if (m_fd < 0)
        return ESerialStatus::eNotOpen;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            line.clear();
            for (std::size_t i = 0; i < end; ++i)
                if (m_buffer[i] != '\r')
                    line += m_buffer[i];
            m_buffer.erase(0, end + 1);
            return ESerialStatus::eOK;
        }
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
                continue;
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
