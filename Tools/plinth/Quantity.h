#pragma once

#include <string>

#include <utl/TUnitValue.h>

namespace plinthcli {

// "12.5 µm"; a value with the null unit prints as the bare number.
std::string FormatQuantity(const utl::TUnitValue<double>& value, int decimals = 3);

// For a person to read: a length in the largest of m, mm, µm and nm in which it is at least 1 (0
// in its own unit), other values in their own unit; at most `decimals` decimals, trailing zeros
// dropped: "5 m", "-10 mm", "12.5 µm".
std::string FormatReadable(const utl::TUnitValue<double>& value, int decimals = 4);

// "OK (4000)" / "LimitsNotDefined (4005): the axis limits are not defined".
std::string DescribeCode(int code);

} // namespace plinthcli
