#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <utl/TUnitValue.h>

namespace plinthcli {

// Parses a physical value with its unit: "12.5um", "12.5 µm", "1mm", "-500nm", "0.1 deg". A bare
// number is refused: a position without a unit is a mistake waiting to happen.
std::optional<utl::TUnitValue<double>> ParseQuantity(std::string_view text);

// "12.5 µm"; a value with the null unit prints as the bare number.
std::string FormatQuantity(const utl::TUnitValue<double>& value, int decimals = 3);

// "OK (4000)" / "LimitsNotDefined (4005): the axis limits are not defined".
std::string DescribeCode(int code);

} // namespace plinthcli
