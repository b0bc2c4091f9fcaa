#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

// What ends a line on the wire. Commands and replies of one protocol may end differently (one
// protocol ends commands in CR and replies in CR LF).
enum class ELineEnd {
    eLF,   // LF ends a line; CR anywhere in it is dropped (also a CR LF pair ends it)
    eCR,   // CR ends a line; LF anywhere in it is dropped (so CR LF ends it too, and a line
           // of a multi-line reply may end in CR alone)
    eCRLF, // only the pair CR LF ends a line; a lone CR or LF stays in it
};

// The bytes that end a written line.
const char* LineEndBytes(ELineEnd end) noexcept;

// The baud rates a port opens at: the standard termios speeds from 1200 to 230400, the one table
// for the ports and for the programs that check a --baud option.
const std::vector<int>& BaudRates();
bool IsBaudRate(int baud) noexcept;

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
// Lines are read with the reply line end (SetReplyLineEnd, LF unless set) and written by
// WriteLine with the command line end (SetCommandLineEnd, LF unless set). A line is at most
// MaxLineLength bytes (default c_defaultMaxLineLength): a longer one is refused, that is dropped
// up to its end with the reason in LastError, and counted (RefusedLines), so that a device
// streaming bytes without a line end costs bounded memory.
//
// Threads: one thread may read (ReadLine, ReadAvailable, Purge) while another writes (Write,
// WriteLine, SetModemLines); CancelRead, LastError and RefusedLines may be called from any
// thread. Open, Close and the Set... calls of the framing must not run concurrently with anything
// else.
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

    static constexpr std::size_t c_defaultMaxLineLength = 4096;

    void SetReplyLineEnd(ELineEnd end) noexcept { m_replyEnd = end; }
    void SetCommandLineEnd(ELineEnd end) noexcept { m_commandEnd = end; }
    ELineEnd ReplyLineEnd() const noexcept { return m_replyEnd; }
    ELineEnd CommandLineEnd() const noexcept { return m_commandEnd; }
    // At least 1.
    void SetMaxLineLength(std::size_t bytes) noexcept { m_maxLine = bytes > 0 ? bytes : 1; }
    std::size_t MaxLineLength() const noexcept { return m_maxLine; }

    // Writes all of `bytes`, waiting for the device as long as it takes up to `timeoutMs`.
    ESerialStatus Write(const std::string& bytes, int timeoutMs = 1000);
    // Writes `text` and the command line end.
    ESerialStatus WriteLine(const std::string& text, int timeoutMs = 1000);
    // Reads up to and including the next reply line end and answers the line without it (and
    // without the characters the line end drops, see ELineEnd). Waits at most `timeoutMs` (poll,
    // no busy loop). Bytes after the line stay buffered for the next call; a partial line stays
    // buffered too when the time runs out. A line longer than MaxLineLength is refused (see the
    // class comment) and the wait goes on.
    ESerialStatus ReadLine(std::string& line, int timeoutMs);
    // Answers the bytes buffered and whatever arrives, without looking for line ends: waits at
    // most `timeoutMs` for the first byte, then takes what is there at once, at most
    // MaxLineLength bytes in all (the rest stays buffered). eTimeout when nothing came.
    ESerialStatus ReadAvailable(std::string& bytes, int timeoutMs);
    // Drops every byte received and not yet read: the buffered ones, the driver's input queue and
    // what can be read at once, so that a late or garbled reply is not taken for the next one.
    ESerialStatus Purge();
    // Raises (true) or lowers the DTR and RTS modem lines. Some controllers reset on DTR or
    // want RTS raised; a pseudo-terminal has no modem lines and answers eFailed.
    ESerialStatus SetModemLines(bool dtr, bool rts);
    // Lines refused as too long since Open.
    int RefusedLines() const;
    // Makes a ReadLine that runs now (or the next one) return eCancelled at once.
    void CancelRead();

    // Says what went wrong last, in words, with the path ("" when nothing did). Any thread.
    std::string LastError() const;

private:
    ESerialStatus Fail(ESerialStatus status, const std::string& what, int error);
    // Takes a complete line out of m_buffer, or refuses one that outgrew the bound. True when a
    // line was taken.
    bool TakeLine(std::string& line);
    // Reads what is readable into m_buffer; waits at most `timeoutMs` for it. eOK when bytes came.
    ESerialStatus Fill(int timeoutMs);

    int m_fd = -1;
    int m_wakeFd = -1; // eventfd written by CancelRead
    std::string m_path;
    std::string m_buffer;    // bytes read but not yet answered as a line
    bool m_skipping = false; // dropping the rest of a refused line up to its end
    ELineEnd m_replyEnd = ELineEnd::eLF;
    ELineEnd m_commandEnd = ELineEnd::eLF;
    std::size_t m_maxLine = c_defaultMaxLineLength;
    int m_refused = 0;               // guarded by m_errorMutex
    mutable std::mutex m_errorMutex; // guards m_error: the reader and the writer both report
    std::string m_error;
};

// Words for a status ("timed out", "port in use", ...).
const char* SerialStatusName(ESerialStatus status) noexcept;

} // namespace plat
