#include "CommandArgs.h"

#include <algorithm>
#include <cctype>
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

tAxisSpeed ParseAxisSpeed(std::string_view text)
{
    const auto [key, value] = SplitAssignment(text);
    tAxisSpeed parsed;
    parsed.axis = ParseAxisKey(key);
    std::string_view speed = value;
    constexpr std::string_view c_perSecond = "/s";
    if (speed.size() <= c_perSecond.size() || speed.substr(speed.size() - c_perSecond.size()) != c_perSecond) {
        // A bare number is the driver's unit; a length alone is a mistake of a kind worth naming.
        double number = 0.0;
        const std::size_t used = ReadNumber(speed, key, number);
        if (used != 0 && used != speed.size())
            Refuse(key, "not a speed: " + Quoted(value) + " (write a length per second, for example 5mm/s)");
        parsed.value =
            utl::TUnitValue<double>(ParseReal(speed, key, std::numeric_limits<double>::denorm_min()), utl::c_null);
        return parsed;
    }
    speed.remove_suffix(c_perSecond.size());
    parsed.value = ParseQuantity(speed, key);
    parsed.perSecond = true;
    CheckRange(value, key, parsed.value.GetValue(), std::numeric_limits<double>::denorm_min(),
               std::numeric_limits<double>::max());
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

std::string ClosestName(std::string_view text, const std::vector<std::string>& names)
{
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    // Optimal string alignment distance: edits, and a swap of two neighbours counts as one.
    const auto distance = [&](std::string_view a, std::string_view b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i)
            d[i][0] = i;
        for (std::size_t j = 0; j <= b.size(); ++j)
            d[0][j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
                if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
        return d[a.size()][b.size()];
    };
    // Long texts are no misspelling of a short name; comparing them would only cost time.
    constexpr std::size_t c_longestName = 64;
    std::string best;
    std::size_t bestDistance = 0;
    if (text.empty() || text.size() > c_longestName)
        return best;
    for (const auto& name : names) {
        const std::size_t allowed = std::min<std::size_t>(2, std::max<std::size_t>(1, name.size() / 3));
        const std::size_t found = distance(text, name);
        if (found <= allowed && (best.empty() || found < bestDistance)) {
            best = name;
            bestDistance = found;
        }
    }
    return best;
}

} // namespace plinthcli
