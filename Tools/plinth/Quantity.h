#pragma once

#include <string>

#include <utl/TUnitValue.h>

namespace plinthcli {

// "12.5 µm"; a value with the null unit prints as the bare number.
std::string FormatQuantity(const utl::TUnitValue<double>& value, int decimals = 3);

// "OK (4000)" / "LimitsNotDefined (4005): the axis limits are not defined".
std::string DescribeCode(int code);

} // namespace plinthcli
