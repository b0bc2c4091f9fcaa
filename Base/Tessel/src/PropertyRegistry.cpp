#include <utl/PropertyRegistry.h>

#include <map>
#include <mutex>

namespace utl {
namespace {

struct tRegistry {
    std::mutex mutex;
    std::vector<tPropertyInfo> inOrder;
    std::map<int, std::size_t> byID;
    std::map<std::wstring, std::size_t> byName;
};

tRegistry& Registry()
{
    static tRegistry registry;
    return registry;
}

} // namespace

bool RegisterProperty(const std::wstring& name, int id, int type)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto byID = r.byID.find(id);
    auto byName = r.byName.find(name);
    if (byID != r.byID.end() || byName != r.byName.end()) {
        // Only an exact repetition of an existing binding is accepted.
        if (byID == r.byID.end() || byName == r.byName.end() || byID->second != byName->second)
            return false;
        return r.inOrder[byID->second].type == type;
    }
    r.inOrder.push_back({name, id, type});
    r.byID[id] = r.inOrder.size() - 1;
    r.byName[name] = r.inOrder.size() - 1;
    return true;
}

std::optional<tPropertyInfo> FindProperty(int id)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byID.find(id);
    if (it == r.byID.end())
        return std::nullopt;
    return r.inOrder[it->second];
}

std::optional<tPropertyInfo> FindProperty(const std::wstring& name)
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byName.find(name);
    if (it == r.byName.end())
        return std::nullopt;
    return r.inOrder[it->second];
}

std::vector<tPropertyInfo> RegisteredProperties()
{
    tRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.inOrder;
}

} // namespace utl
