#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <platform/CSerialPort.h>

#include "ZaberAscii.h"

namespace zaber {

// The outcome of an exchange with the devices.
enum class ELink {
    eOK,
    eTimeout,  // no matching reply within the reply time-out
    eVanished, // the port went away; Close and Open again
    eNotOpen,
    eInUse,  // Open: another program holds the port
    eFailed, // Open: no such port, not a serial port, bad baud rate; LastError says more
};

// The transaction layer over one serial port: sends commands, matches each reply to its command
// by message ID, and hands alerts to a handler as they arrive, also between a command and its
// reply.
//
// One request is in flight at a time: callers from several threads are served one after the
// other (m_requestMutex). A reader thread owns the reading side of the port; it parses each line,
// drops garbage, lines with a bad checksum, info lines and replies nobody waits for (a reply that
// comes after its time-out, or one with another message ID), and wakes the requester whose reply
// came. Every wait is bounded by the reply time-out.
class CZaberLink {
public:
    // Called on the reader thread for every alert. It must not call Request (the reader would
    // wait for itself); it may take locks of its own and notify.
    using AlertHandler = std::function<void(const tMessage&)>;

    CZaberLink();
    ~CZaberLink(); // closes
    CZaberLink(const CZaberLink&) = delete;
    CZaberLink& operator=(const CZaberLink&) = delete;

    // Before Open.
    void SetAlertHandler(AlertHandler handler) { m_alertHandler = std::move(handler); }
    // Milliseconds a request waits for its reply (default 1000). Any time.
    void SetReplyTimeout(int timeoutMs);

    ELink Open(const std::string& path, int baud);
    void Close();
    // Open and the port has not gone away.
    bool IsUp() const;

    // Sends `words` to `address` and `axis` (0: the whole device) with a fresh message ID (none to
    // a device marked with SetWithoutIDs) and waits for the reply that carries it. A reply without
    // any ID from the addressed device is taken too: firmware before message IDs answers that way
    // (to a command with an ID: a rejection, BADCOMMAND, which tells the caller to mark it).
    ELink Request(int address, int axis, const std::string& words, tMessage& reply);
    // Sends `words`, without a message ID (so that every firmware understands it), to every device
    // and collects their replies until none came for `quietMs` (the host cannot know how many
    // devices answer), at most the reply time-out. eTimeout when no device answered.
    ELink Broadcast(const std::string& words, int quietMs, std::vector<tMessage>& replies);
    // From now on, commands to `address` carry no message ID. Any time.
    void SetWithoutIDs(int address);

    std::string LastError() const;
    // Lines dropped so far: garbage and bad checksums, and replies nobody waited for.
    int DroppedLines() const;

private:
    void Read(); // the reader thread
    // Expects m_requestMutex held. `withID` false: the command carries no message ID.
    ELink Send(int address, int axis, const std::string& words, bool withID);

    plat::CSerialPort m_port;
    AlertHandler m_alertHandler;
    std::thread m_reader;
    std::mutex m_requestMutex; // one request in flight; taken before m_mutex

    mutable std::mutex m_mutex; // guards everything below; notified through m_arrived
    std::condition_variable m_arrived;
    bool m_running = false;
    bool m_vanished = false;
    int m_replyTimeoutMs = 1000;
    int m_lastID = 0;
    bool m_waiting = false;   // a requester waits for a reply
    int m_pendingID = c_noID; // the message ID it waits for (c_noID: none was sent)
    int m_pendingAddress = 0; // 0: a broadcast
    std::set<int> m_withoutIDs;
    std::vector<tMessage> m_replies;
    int m_dropped = 0;
    std::string m_error;
};

} // namespace zaber
