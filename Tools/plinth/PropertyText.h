#pragma once

#include <cstdint>
#include <string>

#include <utl/TUnitValue.h>

namespace plinthcli {

// How `prop get` and `prop list` show a setting's value, in process and through a stage server
// alike: numbers as iostreams print them ("12", "0.25"), truths as "true"/"false", quantities
// with four decimals and their unit, text as it is.
std::string PropertyText(int value);
std::string PropertyText(std::int64_t value);
std::string PropertyText(double value);
std::string PropertyText(bool value);
std::string PropertyText(const utl::TUnitValue<double>& value);
std::string PropertyText(const std::string& value);

// One line of `prop list` (with its newline): the name, the value (`value` as PropertyText shows
// it, text settings in quotes with `quoted`) followed by the registered unit, and the
// description, in columns.
std::string PropertyListLine(const std::string& name, const std::string& value, bool quoted, const std::string& unit,
                             const std::string& description);

} // namespace plinthcli
