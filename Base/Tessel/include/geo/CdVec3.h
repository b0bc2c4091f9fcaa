#pragma once

namespace geo {

// A plain triple of doubles, as used for X/Y/Z positions.
struct CdVec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr CdVec3() noexcept = default;
    constexpr CdVec3(double x_, double y_, double z_) noexcept : x(x_), y(y_), z(z_) {}

    constexpr CdVec3 operator+(const CdVec3& o) const noexcept { return {x + o.x, y + o.y, z + o.z}; }
    constexpr CdVec3 operator-(const CdVec3& o) const noexcept { return {x - o.x, y - o.y, z - o.z}; }
    constexpr CdVec3 operator*(double f) const noexcept { return {x * f, y * f, z * f}; }
    constexpr bool operator==(const CdVec3& o) const noexcept { return x == o.x && y == o.y && z == o.z; }
    constexpr bool operator!=(const CdVec3& o) const noexcept { return !(*this == o); }
};

} // namespace geo
