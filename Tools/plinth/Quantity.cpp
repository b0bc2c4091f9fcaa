#include "Quantity.h"

#include <iomanip>
#include <sstream>

#include <plinth/driver/ResultCodes.h>

namespace plinthcli {

std::string FormatQuantity(const utl::TUnitValue<double>& value, int decimals)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << value.GetValue();
    if (!value.GetUnit().IsNull())
        out << ' ' << value.GetUnit().GetSymbol();
    return out.str();
}

namespace {

// The code that the shipped hardware drivers answer for a fault their device reported (the
// driver's own code, above the library's; the device's words are in the driver's message).
constexpr int c_driverDeviceFault = 4100;

} // namespace

std::string DescribeCode(int code)
{
    std::ostringstream out;
    if (code == c_driverDeviceFault) {
        out << "DeviceFault (" << code << "): the device reported a fault";
        return out.str();
    }
    out << stg::ResultCodeName(code) << " (" << code << ")";
    if (code != stg::c_OK)
        out << ": " << stg::ResultCodeMeaning(code);
    return out.str();
}

} // namespace plinthcli
