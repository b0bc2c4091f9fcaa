#pragma once

#include <utility>
#include <vector>

namespace stg::detail {

// The keys of an axis map, ascending: the axis list of a request.
template <class Map>
std::vector<int> KeysOf(const Map& map)
{
    std::vector<int> keys;
    keys.reserve(map.size());
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

// The axis of an element of an axis list or of an entry of a map keyed by axis.
inline int KeyOf(int axis) noexcept { return axis; }
template <class Value>
int KeyOf(const std::pair<const int, Value>& entry) noexcept
{
    return entry.first;
}

} // namespace stg::detail
