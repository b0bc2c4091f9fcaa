#include "Quantity.h"

#include <cmath>
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

std::string FormatReadable(const utl::TUnitValue<double>& value, int decimals)
{
    utl::TUnitValue<double> shown = value;
    if (value.GetUnit().GetQuantity() == utl::EQuantity::Length && value.GetValue() != 0.0 &&
        std::isfinite(value.GetValue())) {
        for (const utl::CUnit& unit : {utl::c_m, utl::c_mm, utl::c_mum, utl::c_nm}) {
            shown = value.In(unit);
            if (std::fabs(shown.GetValue()) >= 1.0)
                break;
        }
    }
    std::string text = FormatQuantity(shown, decimals);
    const std::size_t end = text.find(' ');
    std::string number = text.substr(0, end);
    if (number.find('.') != std::string::npos) {
        number.erase(number.find_last_not_of('0') + 1);
        if (number.back() == '.')
            number.pop_back();
    }
    if (number == "-0")
        number = "0";
    return number + (end == std::string::npos ? "" : text.substr(end));
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
