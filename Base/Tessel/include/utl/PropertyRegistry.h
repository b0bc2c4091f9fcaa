#pragma once

#include <optional>
#include <string>
#include <vector>

namespace utl {

// A property name bound to its ID and registered type code.
struct tPropertyInfo {
    std::wstring name;
    int id = 0;
    int type = 0;
};

// Binds `name` to `id` and `type` for the whole process. Registering the same triple again
// answers true and changes nothing; a name already bound to another ID, or an ID already bound
// to another name or type, is refused (false) and the earlier binding stays. Thread-safe.
bool RegisterProperty(const std::wstring& name, int id, int type);

std::optional<tPropertyInfo> FindProperty(int id);
std::optional<tPropertyInfo> FindProperty(const std::wstring& name);
// Every binding, in the order it was first registered.
std::vector<tPropertyInfo> RegisteredProperties();

} // namespace utl
