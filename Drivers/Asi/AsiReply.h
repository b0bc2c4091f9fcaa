#pragma once

#include <map>
#include <string>
#include <vector>

namespace asi {

// One reply line of an ASI controller, parsed.
struct tReply {
    enum EKind {
        eAck,    // ":A", ":A data" or ":X=50 Y=50 A"
        eError,  // ":N-<code>"
        eStatus, // the bare "N" or "B" of STATUS
    };
    EKind kind = eAck;
    int error = 0;     // eError: the code
    bool busy = false; // eStatus: "B"
    std::string data;  // eAck: what follows ":A" (or precedes the final "A"), trimmed
};

// Parses one reply (its line end removed; the lines of a multi-line reply joined by CR). False
// for anything else: a garbled line. Trailing spaces are tolerated (VERSION answers with one).
bool ParseReply(const std::string& line, tReply& reply);
// "X=10000 Y=-2.5" -> {X: 10000, Y: -2.5}; false when an item is not LETTER=NUMBER.
bool ParseValues(const std::string& data, std::map<char, double>& values);
// "1234.5 432.1 0" -> {1234.5, 432.1, 0}; false when an item is not a number.
bool ParseNumbers(const std::string& data, std::vector<double>& numbers);
// The words for an error code, for messages.
std::string ErrorMeaning(int code);

} // namespace asi
