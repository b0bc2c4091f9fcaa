#include "PropertyText.h"

#include <algorithm>
#include <sstream>

#include "Quantity.h"

namespace plinthcli {
namespace {

template <class T>
std::string Streamed(T value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

} // namespace

std::string PropertyText(int value) { return Streamed(value); }
std::string PropertyText(std::int64_t value) { return Streamed(value); }
std::string PropertyText(double value) { return Streamed(value); }
std::string PropertyText(bool value) { return value ? "true" : "false"; }
std::string PropertyText(const utl::TUnitValue<double>& value) { return FormatQuantity(value, 4); }
std::string PropertyText(const std::string& value) { return value; }

std::string PropertyListLine(const std::string& name, const std::string& value, bool quoted, const std::string& unit,
                             const std::string& description)
{
    const std::string shown = (quoted ? "\"" + value + "\"" : value) + (unit.empty() ? "" : " " + unit);
    // Padded by characters, not bytes: units such as µm take two bytes.
    const auto characters = std::count_if(shown.begin(), shown.end(),
                                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    const auto padding = static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, 20 - characters));
    // The name padded by bytes to 24, as printf's %-24s pads it.
    std::string line = name + std::string(name.size() < 24 ? 24 - name.size() : 0, ' ');
    line += " " + shown + std::string(padding, ' ') + " " + description + "\n";
    return line;
}

} // namespace plinthcli
