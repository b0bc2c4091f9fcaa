#pragma once

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

} // namespace stg::detail
