#pragma once

#include <string>

namespace emukit {

// The device end of a pseudo-terminal, and optionally a symbolic link to its other end under a
// path of the user's choice.
//
// The link is made safely: a path that exists already (a file, a directory, a link made by
// anyone else, also a dangling one) is refused and left untouched, and only the link this object
// made is ever removed (when it still points where it was made to point). A new terminal (Open
// after Close) moves the link this object made to the new terminal.
//
// Not thread-safe: the owner serialises the calls.
class CPseudoTerminal {
public:
    CPseudoTerminal() = default;
    ~CPseudoTerminal(); // closes and removes the link made
    CPseudoTerminal(const CPseudoTerminal&) = delete;
    CPseudoTerminal& operator=(const CPseudoTerminal&) = delete;

    // Opens a new terminal in raw mode (and links `linkPath` to it when not empty). False, with
    // Error() saying why, on failure; nothing is left open then.
    bool Open(const std::string& linkPath);
    // Closes the terminal, as an unplugged adapter; the link stays (dangling until the next Open).
    void Close();
    // Close, and removes the link this object made.
    void Remove();

    bool IsOpen() const noexcept { return m_master >= 0; }
    int Master() const noexcept { return m_master; }
    // The path to open: the link when there is one, else the terminal.
    std::string Path() const { return m_linkPath.empty() ? m_terminal : m_linkPath; }
    const std::string& Error() const noexcept { return m_error; }

private:
    bool Link(const std::string& linkPath);
    bool OwnLink() const; // the link at m_linkPath is still the one made here

    int m_master = -1;
    int m_slave = -1; // held open so that the master never sees a hang-up between two users
    std::string m_terminal;
    std::string m_linkPath;     // the link made, "" when none
    std::string m_linkedTarget; // where it was made to point
    std::string m_error;
};

} // namespace emukit
