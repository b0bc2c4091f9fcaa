#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <platform/CSerialLink.h>

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
// The exchange itself is a plat::CSerialLink with LF framing both ways, which serves one request
// at a time and bounds every wait by the reply time-out. Each request's matcher takes the reply
// that carries its message ID (or no ID, from the device addressed); every other line goes to
// this link's unsolicited handler, which parses it, hands alerts on, ignores info lines and
// counts garbage, bad checksums and replies nobody waits for (a reply after its time-out, or one
// with another message ID) as dropped.
class CZaberLink {
public:
    // Called on the serial link's reader thread for every alert. It must not call Request (the
    // reader would wait for itself); it may take locks of its own and notify.
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
    // The serial link's unsolicited handler: every line no request took. Runs on its reader.
    void Unsolicited(const std::string& line);
    // The error of the last failed exchange: `own` when not empty, else the serial link's.
    ELink Failed(plat::ESerialStatus status, const std::string& own);

    AlertHandler m_alertHandler;
    plat::CSerialLink m_link;

    mutable std::mutex m_mutex; // guards everything below; never held while calling m_link
    int m_lastID = 0;
    std::set<int> m_withoutIDs;
    int m_dropped = 0; // lines the unsolicited handler dropped
    std::string m_error;
};

} // namespace zaber
