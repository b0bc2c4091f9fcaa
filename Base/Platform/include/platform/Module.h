#pragma once

#include <string>

namespace plat {

// Handle of a loaded module (a shared library); null when none.
using ModuleHandle = void*;

// Loads the shared library at `path` (resolving all its symbols now, keeping them local to it).
// Answers null on failure; LastModuleError() then says why.
ModuleHandle LoadModule(const std::string& path);

// The address of the export `name` in `module`, or null when the module has no such export
// (or `module` is null).
void* FindExport(ModuleHandle module, const char* name);

// Releases a module loaded with LoadModule. Answers false for null or when the loader refuses.
bool ReleaseModule(ModuleHandle module);

// The loader's description of the last failure on the calling thread ("" when none).
std::string LastModuleError();

// Owns a loaded module and releases it when destroyed.
class CModule {
public:
    CModule() = default;
    explicit CModule(const std::string& path) : m_handle(LoadModule(path)) {}
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;
    CModule(CModule&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    CModule& operator=(CModule&& other) noexcept
    {
        if (this != &other) {
            ReleaseModule(m_handle);
            m_handle = other.m_handle;
            other.m_handle = nullptr;
        }
        return *this;
    }
    ~CModule() { ReleaseModule(m_handle); }

    ModuleHandle Get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

private:
    ModuleHandle m_handle = nullptr;
};

} // namespace plat
