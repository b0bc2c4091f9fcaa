#include "Quantity.h"

#include <cctype>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include <plinth/ResultCodes.h>

namespace plinthcli {

std::optional<utl::TUnitValue<double>> ParseQuantity(std::string_view text)
{
    const std::string input(text);
    const char* begin = input.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin)
        return std::nullopt;
    std::string_view symbol(end);
    while (!symbol.empty() && std::isspace(static_cast<unsigned char>(symbol.front())))
        symbol.remove_prefix(1);
    if (symbol.empty())
        return std::nullopt;
    const auto unit = utl::CUnit::FromSymbol(symbol);
    if (!unit || unit->IsNull())
        return std::nullopt;
    return utl::TUnitValue<double>(value, *unit);
}

std::string FormatQuantity(const utl::TUnitValue<double>& value, int decimals)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << value.GetValue();
    if (!value.GetUnit().IsNull())
        out << ' ' << value.GetUnit().GetSymbol();
    return out.str();
}

std::string DescribeCode(int code)
{
    std::ostringstream out;
    out << stg::ResultCodeName(code) << " (" << code << ")";
    if (code != stg::c_OK)
        out << ": " << stg::ResultCodeMeaning(code);
    return out.str();
}

} // namespace plinthcli
