#include "CPseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace emukit {
namespace {

std::string Words(int error) { return std::generic_category().message(error); }

} // namespace

CPseudoTerminal::~CPseudoTerminal() { Remove(); }

bool CPseudoTerminal::Open(const std::string& linkPath)
{
    Close();
    m_error.clear();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        m_error = "cannot open a pseudo-terminal: " + Words(errno);
        Close();
        return false;
    }
    char name[128] = {};
    m_terminal = ptsname_r(m_master, name, sizeof(name)) == 0 ? name : ""; // ptsname() is not thread safe
    m_slave = open(m_terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tty{};
    if (m_slave >= 0 && tcgetattr(m_slave, &tty) == 0) {
        cfmakeraw(&tty);
        tcsetattr(m_slave, TCSANOW, &tty);
    }
    if (!linkPath.empty() && !Link(linkPath)) {
        Close();
        return false;
    }
    return true;
}

bool CPseudoTerminal::OwnLink() const
{
    char target[4096] = {};
    const ssize_t length = readlink(m_linkPath.c_str(), target, sizeof(target) - 1);
    return length > 0 && std::string(target, static_cast<std::size_t>(length)) == m_linkedTarget;
}

bool CPseudoTerminal::Link(const std::string& linkPath)
{
    if (!m_linkPath.empty() && m_linkPath != linkPath)
        Remove();
    // Our own link is moved to the new terminal; anything else under the path is left alone
    // (symlink() never replaces what exists).
    if (m_linkPath == linkPath) {
        if (!OwnLink()) {
            m_error = "cannot link " + linkPath + ": it was changed by someone else; left alone";
            m_linkPath.clear();
            return false;
        }
        unlink(linkPath.c_str());
        m_linkPath.clear();
    }
    struct stat there {};
    if (lstat(linkPath.c_str(), &there) == 0) {
        m_error = "cannot link " + linkPath + ": it exists (not made by this emulator); choose another path";
        return false;
    }
    if (symlink(m_terminal.c_str(), linkPath.c_str()) != 0) {
        m_error = "cannot link " + linkPath + ": " + Words(errno);
        return false;
    }
    m_linkPath = linkPath;
    m_linkedTarget = m_terminal;
    return true;
}

void CPseudoTerminal::Close()
{
    if (m_slave >= 0)
        close(m_slave);
    if (m_master >= 0)
        close(m_master);
    m_slave = m_master = -1;
}

void CPseudoTerminal::Remove()
{
    Close();
    if (!m_linkPath.empty() && OwnLink())
        unlink(m_linkPath.c_str());
    m_linkPath.clear();
}

} // namespace emukit
