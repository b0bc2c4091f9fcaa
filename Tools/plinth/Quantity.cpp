#include "Quantity.h"

#include <iomanip>
#include <sstream>

#include <plinth/ResultCodes.h>

namespace plinthcli {

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
