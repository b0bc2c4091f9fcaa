#include "ZaberAscii.h"

#include <cctype>
#include <cstdio>

namespace zaber {
namespace {

bool ParseNumber(const std::string& token, int lowest, int highest, int& value)
{
    if (token.empty() || token.size() > 4)
        return false;
    value = 0;
    for (char c : token) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= lowest && value <= highest;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsFlag(const std::string& token)
{
    return token == "--" || (token.size() == 2 && std::isupper(static_cast<unsigned char>(token[0])) &&
                             std::isupper(static_cast<unsigned char>(token[1])));
}

bool ParseStatus(const std::string& token, bool& busy)
{
    if (token != "BUSY" && token != "IDLE")
        return false;
    busy = token == "BUSY";
    return true;
}

} // namespace

std::uint8_t Checksum(std::string_view body)
{
    unsigned sum = 0;
    for (char c : body)
        sum += static_cast<unsigned char>(c);
    return static_cast<std::uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

std::string FormatCommand(int address, int axis, int id, std::string_view words)
{
    std::string body = std::to_string(address) + ' ' + std::to_string(axis);
    if (id != c_noID)
        body += ' ' + std::to_string(id);
    if (!words.empty())
        body += ' ' + std::string(words);
    char tail[8];
    std::snprintf(tail, sizeof(tail), ":%02X\n", Checksum(body));
    return '/' + body + tail;
}

std::vector<std::string> SplitWords(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        std::size_t end = i;
        while (end < text.size() && text[end] != ' ')
            ++end;
        if (end > i)
            words.emplace_back(text.substr(i, end - i));
        i = end;
    }
    return words;
}

EParse ParseDeviceLine(std::string_view line, tMessage& message)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.remove_suffix(1);
    // Noise before the type character (a half line from before the port was opened) is dropped.
    const std::size_t start = line.find_first_of("@#!");
    if (start == std::string_view::npos)
        return EParse::eGarbage;
    line.remove_prefix(start);
    const char kind = line[0];
    std::string_view body = line.substr(1);
    if (body.size() >= 3 && body[body.size() - 3] == ':') {
        const int high = HexDigit(body[body.size() - 2]);
        const int low = HexDigit(body[body.size() - 1]);
        if (high < 0 || low < 0)
            return EParse::eGarbage;
        body.remove_suffix(3);
        if (Checksum(body) != high * 16 + low)
            return EParse::eBadChecksum;
    }
    const std::vector<std::string> words = SplitWords(body);
    tMessage parsed;
    parsed.kind = kind;
    if (words.size() < 2 || !ParseNumber(words[0], 1, 99, parsed.address) || !ParseNumber(words[1], 0, 9, parsed.axis))
        return EParse::eGarbage;
    std::size_t next = 2;
    if (kind == '#') {
        parsed.data.assign(words.begin() + 2, words.end());
        message = std::move(parsed);
        return EParse::eOK;
    }
    if (kind == '@') {
        // The optional message ID comes before the OK/RJ field.
        if (next < words.size() && words[next] != "OK" && words[next] != "RJ") {
            if (!ParseNumber(words[next], 0, 99, parsed.id))
                return EParse::eGarbage;
            ++next;
        }
        if (next >= words.size() || (words[next] != "OK" && words[next] != "RJ"))
            return EParse::eGarbage;
        parsed.accepted = words[next++] == "OK";
    } else if (next < words.size() && ParseNumber(words[next], 0, 99, parsed.id)) {
        ++next; // an alert with a message ID: not documented, tolerated
    }
    if (next + 1 >= words.size() || !ParseStatus(words[next], parsed.busy) || !IsFlag(words[next + 1]))
        return EParse::eGarbage;
    parsed.flag = words[next + 1];
    next += 2;
    parsed.data.assign(words.begin() + static_cast<std::ptrdiff_t>(next), words.end());
    if (kind == '@' && parsed.data.empty())
        return EParse::eGarbage; // a reply always carries data ("0" when there is nothing)
    message = std::move(parsed);
    return EParse::eOK;
}

} // namespace zaber
