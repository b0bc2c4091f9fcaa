#include <trellis/Extensions.h>

#include <algorithm>
#include <mutex>

namespace {

struct tExtensions {
    std::mutex mutex;
    std::vector<std::string> names;
};

tExtensions& Extensions()
{
    static tExtensions extensions;
    return extensions;
}

} // namespace

bool appRegisterExtension(const std::string& name)
{
    std::lock_guard<std::mutex> lock(Extensions().mutex);
    auto& names = Extensions().names;
    if (std::find(names.begin(), names.end(), name) != names.end())
        return false;
    names.push_back(name);
    return true;
}

bool appUnregisterExtension(const std::string& name)
{
    std::lock_guard<std::mutex> lock(Extensions().mutex);
    auto& names = Extensions().names;
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end())
        return false;
    names.erase(it);
    return true;
}

std::vector<std::string> appExtensions()
{
    std::lock_guard<std::mutex> lock(Extensions().mutex);
    return Extensions().names;
}
