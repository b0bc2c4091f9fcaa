#include "AsiReply.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace asi {
namespace {

std::string Trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool Number(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

} // namespace

bool ParseReply(const std::string& raw, tReply& reply)
{
    const std::string line = Trimmed(raw);
    reply = tReply{};
    if (line == "N" || line == "B") {
        reply.kind = tReply::eStatus;
        reply.busy = line == "B";
        return true;
    }
    if (line.rfind(":N-", 0) == 0) {
        const std::string digits = line.substr(3);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        reply.kind = tReply::eError;
        reply.error = std::atoi(digits.c_str());
        return true;
    }
    if (line == ":A" || line.rfind(":A ", 0) == 0) {
        reply.data = Trimmed(line.substr(2));
        return true;
    }
    // ":X=50 Y=50 A": the values first, the acknowledgement last.
    if (line.size() > 3 && line[0] == ':' && line.compare(line.size() - 2, 2, " A") == 0) {
        reply.data = Trimmed(line.substr(1, line.size() - 3));
        std::map<char, double> values;
        return ParseValues(reply.data, values);
    }
    return false;
}

bool ParseValues(const std::string& data, std::map<char, double>& values)
{
    std::istringstream items(data);
    values.clear();
    for (std::string item; items >> item;) {
        double value = 0.0;
        if (item.size() < 3 || !std::isalpha(static_cast<unsigned char>(item[0])) || item[1] != '=' ||
            !Number(item.substr(2), value))
            return false;
        values[static_cast<char>(std::toupper(static_cast<unsigned char>(item[0])))] = value;
    }
    return !values.empty();
}

bool ParseNumbers(const std::string& data, std::vector<double>& numbers)
{
    std::istringstream items(data);
    numbers.clear();
    for (std::string item; items >> item;) {
        double value = 0.0;
        if (!Number(item, value))
            return false;
        numbers.push_back(value);
    }
    return !numbers.empty();
}

std::string ErrorMeaning(int code)
{
    switch (code) {
    case 1:
        return "unknown command";
    case 2:
        return "no such axis on this controller";
    case 3:
        return "missing parameter";
    case 4:
        return "parameter out of range";
    case 5:
        return "operation failed (motor disabled or stalled? MC X+ enables it again)";
    case 6:
        return "command not accepted";
    case 7:
        return "invalid card address";
    case 21:
        return "halted";
    default:
        return "error " + std::to_string(code);
    }
}

} // namespace asi
