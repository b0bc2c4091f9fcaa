#pragma once

namespace geo {

// A plain pair of doubles, as used for X/Y positions.
struct CdVec2 {
    double x = 0.0;
    double y = 0.0;

    constexpr CdVec2() noexcept = default;
    constexpr CdVec2(double x_, double y_) noexcept : x(x_), y(y_) {}

    constexpr CdVec2 operator+(const CdVec2& o) const noexcept { return {x + o.x, y + o.y}; }
    constexpr CdVec2 operator-(const CdVec2& o) const noexcept { return {x - o.x, y - o.y}; }
    constexpr CdVec2 operator*(double f) const noexcept { return {x * f, y * f}; }
    constexpr bool operator==(const CdVec2& o) const noexcept { return x == o.x && y == o.y; }
    constexpr bool operator!=(const CdVec2& o) const noexcept { return !(*this == o); }
};

} // namespace geo
