#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace stg::detail {

// Tick arithmetic that cannot overflow: results beyond the tick range stop at its ends, and a
// NaN becomes tick 0. Positions that far out are faults of the caller's numbers; answering the
// nearest representable tick keeps every layer below well-defined.

constexpr std::int64_t c_tickMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t c_tickMin = std::numeric_limits<std::int64_t>::min();

// Truncation toward zero (123.9 gives 123, -123.9 gives -123).
inline std::int64_t TruncToTicks(double value) noexcept
{
    if (std::isnan(value))
        return 0;
    if (value >= 0x1p63)
        return c_tickMax;
    if (value <= -0x1p63)
        return c_tickMin;
    return static_cast<std::int64_t>(value);
}

inline std::int64_t AddTicks(std::int64_t a, std::int64_t b) noexcept
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? c_tickMax : c_tickMin;
    return sum;
}

inline std::int64_t SubTicks(std::int64_t a, std::int64_t b) noexcept
{
    std::int64_t difference = 0;
    if (__builtin_sub_overflow(a, b, &difference))
        return b < 0 ? c_tickMax : c_tickMin;
    return difference;
}

inline std::int64_t NegateTicks(std::int64_t a) noexcept { return a == c_tickMin ? c_tickMax : -a; }

// The low 32 bits of b - a as a signed number: the direction of a move from a to b.
inline std::int32_t Direction32(std::int64_t from, std::int64_t to) noexcept
{
    const auto difference =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from));
    return static_cast<std::int32_t>(difference); // modular, as the 32-bit difference is meant
}

} // namespace stg::detail
