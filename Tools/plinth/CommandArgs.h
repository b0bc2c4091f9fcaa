#pragma once

// The `plinth` command's reading of its arguments: numbers, values with units, axis keys and
// assignments. Nothing here knows a stage, so it links on its own (the target plinth_cli_args)
// and is fuzzed as it is.
//
// Every parser reads the whole text or refuses it: a refusal throws CArgumentError with one line
// that names the argument (`what`) and quotes the text. Numbers are read with std::from_chars in
// the C locale's format: no leading blanks or '+', no hexadecimal, no trailing characters; a
// number that is not finite, does not fit its type or lies outside the range asked for is refused,
// never converted.

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <utl/TUnitValue.h>

namespace plinthcli {

struct CArgumentError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A finite number within [minimum, maximum].
double ParseReal(std::string_view text, std::string_view what, double minimum = std::numeric_limits<double>::lowest(),
                 double maximum = std::numeric_limits<double>::max());

// A decimal integer within [minimum, maximum] (by default the whole range of Int). Defined for
// int, std::int64_t and std::uint32_t.
template <class Int>
Int ParseInteger(std::string_view text, std::string_view what, Int minimum = std::numeric_limits<Int>::min(),
                 Int maximum = std::numeric_limits<Int>::max());

// A finite number followed by a unit, blanks allowed in between: "12.5um", "12.5 µm", "1mm",
// "-500nm", "0.1 deg". A bare number is refused: a position without a unit is a mistake waiting to
// happen.
utl::TUnitValue<double> ParseQuantity(std::string_view text, std::string_view what);

// A serial baud rate the Zaber devices know (1200 to 230400, the standard steps).
int ParseBaudRate(std::string_view text, std::string_view what);

// true/on/1 or false/off/0.
bool ParseTruth(std::string_view text, std::string_view what);

// An axis as the user names it: X, Y or Z (either case), or the driver's axis number (0 or more).
struct tAxisKey {
    char letter = 0; // 'X', 'Y', 'Z'; 0 when the key is a number
    int number = -1;
    std::string text; // as given, for messages
};
tAxisKey ParseAxisKey(std::string_view text);

// "KEY=VALUE" with a non-empty key and value.
std::pair<std::string, std::string> SplitAssignment(std::string_view text);

// "AXIS=POSITION" (move, calib) with a value that carries its unit.
struct tAxisQuantity {
    tAxisKey axis;
    utl::TUnitValue<double> value;
};
tAxisQuantity ParseAxisQuantity(std::string_view text);

// "AXIS=NUMBER" (speed, free), the number within [minimum, maximum].
struct tAxisNumber {
    tAxisKey axis;
    double value = 0.0;
};
tAxisNumber ParseAxisNumber(std::string_view text, double minimum = std::numeric_limits<double>::lowest(),
                            double maximum = std::numeric_limits<double>::max());

// "AXIS=SPEED" (speed): a length per second, "5mm/s", "5 mm/s", "250 µm/s" (read as the length
// per second it is, a TUnitValue in that length unit); or, written without a unit, the driver's
// own speed unit, a positive number (`perSecond` false). "5mm" is refused: it is no speed.
struct tAxisSpeed {
    tAxisKey axis;
    utl::TUnitValue<double> value; // the null unit when given in the driver's unit
    bool perSecond = false;
};
tAxisSpeed ParseAxisSpeed(std::string_view text);

// "AXIS=MIN:MAX" (limits), both with their units.
struct tAxisRange {
    tAxisKey axis;
    utl::TUnitValue<double> minimum;
    utl::TUnitValue<double> maximum;
};
tAxisRange ParseAxisRange(std::string_view text);

// The name among `names` that `text` most likely misspells (ignoring case: at most two letters
// changed, added, dropped or swapped, fewer for short names), for a "did you mean" hint; "" when
// none is that close.
std::string ClosestName(std::string_view text, const std::vector<std::string>& names);

} // namespace plinthcli
