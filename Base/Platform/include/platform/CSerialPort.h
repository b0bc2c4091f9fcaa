#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace plat {

// The outcome of a serial port operation.
enum class ESerialStatus {
    eOK,
    eTimeout,   // no complete line within the time given
    eCancelled, // CancelRead woke the reader
    eInUse,     // another process (or another open of this one) holds the port
    eVanished,  // the device went away (USB unplugged, pseudo-terminal closed): close and reopen
    eNotOpen,
    eFailed, // anything else (no such device, unsupported baud rate, ...); LastError says what
};

// A serial port in raw mode: 8 data bits, no parity, one stop bit, no flow control, no echo, no
// line editing. The open is exclusive: the port is locked (flock) and set to exclusive use
// (TIOCEXCL), so a second open, from this process or another, fails with eInUse instead of
// reading half of someone else's bytes.
//
// Threads: one thread may read (ReadLine) while another writes (Write); CancelRead may be called
// from any thread. Open and Close must not run concurrently with anything else.
class CSerialPort {
public:
    CSerialPort();
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens `path` at `baud` (one of the standard rates from 1200 to 230400). Closes first when
    // already open. Pending cancellations are forgotten.
    ESerialStatus Open(const std::string& path, int baud);
    void Close();
    bool IsOpen() const noexcept { return m_fd >= 0; }
    const std::string& Path() const noexcept { return m_path; }

    // Writes all of `bytes`, waiting for the device as long as it takes up to `timeoutMs`.
    ESerialStatus Write(const std::string& bytes, int timeoutMs = 1000);
    // Reads up to and including the next LF and answers the line without CR and LF characters.
    // Waits at most `timeoutMs` (poll, no busy loop). Bytes after the line stay buffered for
    // the next call; a partial line stays buffered too when the time runs out.
    ESerialStatus ReadLine(std::string& line, int timeoutMs);
    // Makes a ReadLine that runs now (or the next one) return eCancelled at once.
    void CancelRead();

    // Says what went wrong last, in words, with the path ("" when nothing did). Any thread.
    std::string LastError() const;

private:
    ESerialStatus Fail(ESerialStatus status, const std::string& what, int error);

    int m_fd = -1;
    int m_wakeFd = -1; // eventfd written by CancelRead
    std::string m_path;
    std::string m_buffer;            // bytes read but not yet answered as a line
    mutable std::mutex m_errorMutex; // guards m_error: the reader and the writer both report
    std::string m_error;
};

// Words for a status ("timed out", "port in use", ...).
const char* SerialStatusName(ESerialStatus status) noexcept;

} // namespace plat
