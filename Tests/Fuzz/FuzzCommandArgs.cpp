// libFuzzer harness for the `plinth` command's argument parser (target plinth_cli_args). The first
// byte picks the parser, the rest is the argument text. Every parser must either refuse with
// CArgumentError or answer a value that is finite and within the range it was asked for.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "CommandArgs.h"

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void CheckAxis(const plinthcli::tAxisKey& key)
{
    Require(key.letter == 'X' || key.letter == 'Y' || key.letter == 'Z' || (key.letter == 0 && key.number >= 0));
}

void CheckQuantity(const utl::TUnitValue<double>& value)
{
    Require(std::isfinite(value.GetValue()) && !value.GetUnit().IsNull());
}

void Parse(std::uint8_t choice, std::string_view text)
{
    using namespace plinthcli;
    switch (choice % 11) {
    case 0:
        Require(std::isfinite(ParseReal(text, "real")));
        break;
    case 1: {
        const double value = ParseReal(text, "ranged", -5.0, 1e6);
        Require(value >= -5.0 && value <= 1e6);
        break;
    }
    case 2: {
        const int value = ParseInteger<int>(text, "interval", 20, 60000);
        Require(value >= 20 && value <= 60000);
        break;
    }
    case 3:
        ParseInteger<std::int64_t>(text, "int64");
        break;
    case 4:
        ParseInteger<std::uint32_t>(text, "stage");
        break;
    case 5:
        CheckQuantity(ParseQuantity(text, "quantity"));
        break;
    case 6:
        ParseTruth(text, "truth");
        break;
    case 7:
        CheckAxis(ParseAxisKey(text));
        break;
    case 8: {
        const auto parsed = ParseAxisQuantity(text);
        CheckAxis(parsed.axis);
        CheckQuantity(parsed.value);
        break;
    }
    case 9: {
        const auto parsed = ParseAxisNumber(text, std::numeric_limits<double>::denorm_min());
        CheckAxis(parsed.axis);
        Require(std::isfinite(parsed.value) && parsed.value > 0.0);
        break;
    }
    default: {
        const auto parsed = ParseAxisRange(text);
        CheckAxis(parsed.axis);
        CheckQuantity(parsed.minimum);
        CheckQuantity(parsed.maximum);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    try {
        Parse(data[0], std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    } catch (const plinthcli::CArgumentError&) {
        // A refusal is a fine answer.
    }
    return 0;
}
