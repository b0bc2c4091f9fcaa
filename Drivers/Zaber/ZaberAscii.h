#pragma once

// The text grammar of Zaber's ASCII protocol: commands the host sends, and the replies, info
// lines and alerts devices send back. Pure functions on strings; no I/O.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zaber {

// A message ID that is not there.
constexpr int c_noID = -1;

// A line from a device, parsed.
//   reply  @AA X [ID] FL STAT WW DATA...
//   info   #AA X text...
//   alert  !AA X STAT WW [...]
struct tMessage {
    char kind = 0;                 // '@' reply, '#' info, '!' alert
    int address = 0;               // 1..99
    int axis = 0;                  // 0 for the whole device
    int id = c_noID;               // the message ID of a reply, when the command carried one
    bool accepted = true;          // reply: OK (true) or RJ (false)
    bool busy = false;             // reply and alert: BUSY
    std::string flag;              // reply and alert: the highest warning, "--" for none
    std::vector<std::string> data; // reply: the data tokens (the reason after RJ); info: the words
};

// Why a device line was not taken.
enum class EParse {
    eOK,
    eGarbage,     // not a reply, info or alert line of the grammar
    eBadChecksum, // the line carries a checksum that does not match
};

// The LRC checksum of a message body (everything between the type character and the colon): the
// two's complement of the byte sum, low eight bits.
std::uint8_t Checksum(std::string_view body);

// "/1 2 12 move abs 100:CC\n": address, axis, optional message ID (c_noID: none), the command
// words, and always a checksum, which every device checks when it is there.
std::string FormatCommand(int address, int axis, int id, std::string_view words);

// Parses one line without its terminator. A checksum, when present (":" and two hex digits at
// the end), must match. Trailing tokens after the known fields of an alert are tolerated (later
// firmware may add some; unconfirmed).
EParse ParseDeviceLine(std::string_view line, tMessage& message);

// Splits on runs of spaces.
std::vector<std::string> SplitWords(std::string_view text);

} // namespace zaber
