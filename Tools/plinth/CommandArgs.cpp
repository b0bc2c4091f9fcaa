#include "CommandArgs.h"

#include <charconv>
#include <cmath>
#include <sstream>
#include <vector>

#include <platform/CSerialPort.h>

namespace plinthcli {
namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

[[noreturn]] void Refuse(std::string_view what, const std::string& why)
{
    throw CArgumentError(std::string(what) + ": " + why);
}

template <class Number>
std::string Text(Number value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

// Reads a number at the start of `text` into `value`; the characters read, or 0 when there is no
// number there. Refuses a number too large for its type.
template <class Number>
std::size_t ReadNumber(std::string_view text, std::string_view what, Number& value)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    std::from_chars_result result{};
    if constexpr (std::is_floating_point_v<Number>)
        result = std::from_chars(first, last, value, std::chars_format::general);
    else
        result = std::from_chars(first, last, value, 10);
    if (result.ec == std::errc::result_out_of_range)
        Refuse(what, Quoted(text) + " is out of range");
    if (result.ec != std::errc())
        return 0;
    return static_cast<std::size_t>(result.ptr - first);
}

template <class Number>
void CheckRange(std::string_view text, std::string_view what, Number value, Number minimum, Number maximum)
{
    if (value >= minimum && value <= maximum)
        return;
    std::string range = "from " + Text(minimum) + " to " + Text(maximum);
    if constexpr (std::is_floating_point_v<Number>) {
        if (minimum == std::numeric_limits<Number>::denorm_min())
            range = "more than 0";
        else if (maximum == std::numeric_limits<Number>::max())
            range = "at least " + Text(minimum);
    }
    Refuse(what, Quoted(text) + " is out of range (" + range + ")");
}

} // namespace

double ParseReal(std::string_view text, std::string_view what, double minimum, double maximum)
{
    double value = 0.0;
    const std::size_t used = ReadNumber(text, what, value);
    if (used == 0 || used != text.size())
        Refuse(what, "not a number: " + Quoted(text));
    if (!std::isfinite(value))
        Refuse(what, "not a finite number: " + Quoted(text));
    CheckRange(text, what, value, minimum, maximum);
    return value;
}

template <class Int>
Int ParseInteger(std::string_view text, std::string_view what, Int minimum, Int maximum)
{
    Int value = 0;
    const std::size_t used = ReadNumber(text, what, value);
    if (used == 0 || used != text.size())
        Refuse(what, "not a whole number: " + Quoted(text));
    CheckRange(text, what, value, minimum, maximum);
    return value;
}

template int ParseInteger<int>(std::string_view, std::string_view, int, int);
template std::int64_t ParseInteger<std::int64_t>(std::string_view, std::string_view, std::int64_t, std::int64_t);
template std::uint32_t ParseInteger<std::uint32_t>(std::string_view, std::string_view, std::uint32_t, std::uint32_t);

utl::TUnitValue<double> ParseQuantity(std::string_view text, std::string_view what)
{
    const auto refuse = [&] {
        Refuse(what, "not a value with a unit: " + Quoted(text) + " (write for example 12.5um, 1mm or 500nm)");
    };
    double value = 0.0;
    const std::size_t used = ReadNumber(text, what, value);
    if (used == 0)
        refuse();
    if (!std::isfinite(value))
        Refuse(what, "not a finite number: " + Quoted(text));
    std::string_view symbol = text.substr(used);
    while (!symbol.empty() && symbol.front() == ' ')
        symbol.remove_prefix(1);
    const auto unit = symbol.empty() ? std::nullopt : utl::CUnit::FromSymbol(symbol);
    if (!unit || unit->IsNull())
        refuse();
    return utl::TUnitValue<double>(value, *unit);
}

int ParseBaudRate(std::string_view text, std::string_view what)
{
    const std::vector<int>& rates = plat::BaudRates();
    const int rate = ParseInteger<int>(text, what, 1, rates.back());
    if (plat::IsBaudRate(rate))
        return rate;
    std::string known;
    for (int each : rates)
        known += (known.empty() ? "" : ", ") + std::to_string(each);
    Refuse(what, Quoted(text) + " is not a baud rate of the devices (" + known + ")");
}

bool ParseTruth(std::string_view text, std::string_view what)
{
    if (text == "true" || text == "on" || text == "1")
        return true;
    if (text == "false" || text == "off" || text == "0")
        return false;
    Refuse(what, "not a truth value: " + Quoted(text) + " (true/false, on/off, 1/0)");
}

tAxisKey ParseAxisKey(std::string_view text)
{
    tAxisKey key;
    key.text = std::string(text);
    if (text.size() == 1 && std::string_view("XYZxyz").find(text.front()) != std::string_view::npos) {
        key.letter = static_cast<char>(text.front() & ~0x20); // upper case
        return key;
    }
    const auto refuse = [&] {
        throw CArgumentError("a stage has no axis " + std::string(text) +
                             ": an axis is X, Y, Z or a number (0 or more)");
    };
    int number = -1;
    std::size_t used = 0;
    try {
        used = ReadNumber(text, "axis", number);
    } catch (const CArgumentError&) {
        refuse();
    }
    if (used == 0 || used != text.size() || number < 0)
        refuse();
    key.number = number;
    return key;
}

std::pair<std::string, std::string> SplitAssignment(std::string_view text)
{
    const auto eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == text.size())
        throw CArgumentError("expected AXIS=VALUE, got " + Quoted(text));
    return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

tAxisQuantity ParseAxisQuantity(std::string_view text)
{
    const auto [key, value] = SplitAssignment(text);
    tAxisQuantity parsed;
    parsed.axis = ParseAxisKey(key);
    parsed.value = ParseQuantity(value, key);
    return parsed;
}

tAxisNumber ParseAxisNumber(std::string_view text, double minimum, double maximum)
{
    const auto [key, value] = SplitAssignment(text);
    tAxisNumber parsed;
    parsed.axis = ParseAxisKey(key);
    parsed.value = ParseReal(value, key, minimum, maximum);
    return parsed;
}

tAxisRange ParseAxisRange(std::string_view text)
{
    const auto [key, range] = SplitAssignment(text);
    const auto colon = range.find(':');
    if (colon == std::string::npos)
        throw CArgumentError("expected AXIS=MIN:MAX, got " + Quoted(text));
    tAxisRange parsed;
    parsed.axis = ParseAxisKey(key);
    parsed.minimum = ParseQuantity(std::string_view(range).substr(0, colon), key + " minimum");
    parsed.maximum = ParseQuantity(std::string_view(range).substr(colon + 1), key + " maximum");
    return parsed;
}

} // namespace plinthcli
