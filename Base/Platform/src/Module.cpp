#include <platform/Module.h>

#include <dlfcn.h>

namespace plat {
namespace {
thread_local std::string t_lastError;

void Remember(const char* error) { t_lastError = error ? error : ""; }
} // namespace

ModuleHandle LoadModule(const std::string& path)
{
    ModuleHandle module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        Remember(dlerror());
    return module;
}

void* FindExport(ModuleHandle module, const char* name)
{
    if (!module || !name)
        return nullptr;
    dlerror(); // clear an earlier failure so that the one of this look-up is reported
    void* address = dlsym(module, name);
    if (!address)
        Remember(dlerror());
    return address;
}

bool ReleaseModule(ModuleHandle module)
{
    if (!module)
        return false;
    if (dlclose(module) != 0) {
        Remember(dlerror());
        return false;
    }
    return true;
}

std::string LastModuleError() { return t_lastError; }

} // namespace plat
