#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <platform/CSerialPort.h>

namespace plat {

// How a request takes a line that arrived while it waits.
enum class ETake {
    eReply,   // the (last) line of its reply: the request ends (or, when collecting, goes on)
    eMore,    // a line of its reply, more follow (a multi-line reply)
    eNotMine, // not for this request: handed to the unsolicited handler, else dropped
};

// The request/reply exchange over one serial port that protocol links are built on: a protocol
// adds its grammar (how a command is written, which line answers it) and nothing else.
//
// One request is in flight at a time: callers from several threads are served one after the
// other (m_requestMutex). A reader thread owns the reading side of the port. Every line it reads
// goes to the request in flight, whose matcher says whether the line is its own; lines that are
// not (and lines that come while no request waits: a reply after its time-out, noise) go to the
// unsolicited handler when there is one, else they are dropped and counted. So garbage never ends
// the link: the request that expected a reply times out, and the next one starts clean. Every
// wait is bounded by the reply time-out.
//
// A link whose replies carry no tag of their request (no message ID) cannot tell a late reply
// from the next one's: such a protocol calls Purge after a time-out or an unparseable reply,
// which drops everything that arrives until the line has been quiet a while.
//
// The port's framing (line ends, longest line) is set with SetFraming before Open; lines refused
// as too long count as dropped.
class CSerialLink {
public:
    // Called on the reader thread, with m_mutex held: must be quick, must not call the link.
    using Matcher = std::function<ETake(const std::string& line)>;
    // Called on the reader thread without any lock of the link: must not call Request (the reader
    // would wait for itself); may take locks of its own and notify.
    using LineHandler = std::function<void(const std::string& line)>;

    CSerialLink();
    ~CSerialLink(); // closes
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Before Open.
    void SetFraming(ELineEnd command, ELineEnd reply, std::size_t maxLineLength = CSerialPort::c_defaultMaxLineLength);
    void SetUnsolicitedHandler(LineHandler handler) { m_unsolicited = std::move(handler); }
    // Milliseconds a request waits for its reply (default 1000; not positive: 1000). Any time.
    void SetReplyTimeout(int timeoutMs);
    int ReplyTimeout() const;

    ESerialStatus Open(const std::string& path, int baud);
    void Close();
    // Open and the port has not gone away.
    bool IsUp() const;
    const std::string& Path() const noexcept { return m_port.Path(); }

    // Writes `command` and the command line end, then collects the lines `matcher` takes until
    // one ends the reply (eReply), at most the reply time-out. With `quietMs` > 0 the collection
    // goes on after each eReply line until no line came for `quietMs` (for a broadcast that
    // several devices answer), still at most the reply time-out; it succeeds when any reply line
    // came. eTimeout (with the words in LastError), eVanished, eNotOpen.
    ESerialStatus Request(const std::string& command, const Matcher& matcher, std::vector<std::string>& lines,
                          int quietMs = 0);
    // Request for a one-line reply: the first line that is not empty.
    ESerialStatus Request(const std::string& command, std::string& reply);
    // Drops what was received and not yet read, then every line that arrives until the port
    // was quiet for `quietMs`, at most the reply time-out. Waits for a request in flight.
    ESerialStatus Purge(int quietMs);
    // Writes without waiting for a reply (a command that has none); waits for a request in flight.
    ESerialStatus Send(const std::string& command);

    std::string LastError() const;
    // Lines dropped so far: lines no request took and no handler wanted, lines refused as too
    // long, and lines dropped by Purge.
    int DroppedLines() const;

private:
    void Read(); // the reader thread
    // Writes the command for the request in flight. The matcher and the collection mode
    // (`untilQuiet`) are in place before the command leaves, so that no line of its reply comes
    // before its request can take it. Expects m_requestMutex held, not m_mutex.
    ESerialStatus Write(const std::string& command, const Matcher* matcher, bool untilQuiet);

    CSerialPort m_port;
    LineHandler m_unsolicited;
    std::thread m_reader;
    std::mutex m_requestMutex; // one request in flight; taken before m_mutex

    mutable std::mutex m_mutex; // guards everything below; notified through m_arrived
    std::condition_variable m_arrived;
    bool m_running = false;
    bool m_vanished = false;
    bool m_purgeAsked = false;          // the reader purges the port at its next round
    bool m_untilQuiet = false;          // the waiting request collects until the line is quiet
    const Matcher* m_matcher = nullptr; // the waiting request's; null: none, every line is dropped
    std::vector<std::string> m_lines;   // taken by the waiting request
    bool m_complete = false;            // a line ended the reply
    unsigned m_arrivals = 0;            // lines read in all, for Purge's quiet time
    int m_replyTimeoutMs = 1000;
    int m_dropped = 0;
    std::string m_error;
};

} // namespace plat
