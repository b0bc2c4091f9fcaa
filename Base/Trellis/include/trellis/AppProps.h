#pragma once

#include <cstdint>

// Host application settings: small 16-bit values addressed by a group and an ID. The host (or a
// test standing in for it) sets them; components read them. Unset values read as 0. Thread-safe.

std::uint16_t appGetPropEx(std::uint16_t group, std::uint16_t id);
void appSetPropEx(std::uint16_t group, std::uint16_t id, std::uint16_t value);
