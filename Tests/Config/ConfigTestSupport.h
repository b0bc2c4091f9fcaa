#pragma once

// Helpers of the configuration-file tests: temporary directories, child processes running the
// helper program, set comparison and direct looks into a configuration file.

#include <sys/types.h>

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <cfg/CSqliteStore.h>
#include <mem/CBin.h>
#include <utl/CPropSet.h>

namespace cfgtest {

// A fresh directory below the system's temporary directory, removed with everything in it.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

// plinth_config_helper with the given arguments and PLINTH_CONFIG=`configFile`; its standard
// output is a pipe.
class CChild {
public:
    CChild(const std::vector<std::string>& args, const std::string& configFile);
    ~CChild(); // kills a child still running
    // The next line of output; nothing at its end (or after a generous time-out).
    std::optional<std::string> ReadLine();
    std::vector<std::string> ReadAllLines();
    void Kill(int signal);
    int Wait(); // the exit code, or 128 + the signal that ended it

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

// Deep comparison (IDs, type codes, units, bytes, nested sets, null elements): the first
// difference, or nothing.
std::optional<std::string> Difference(const utl::CPropSet& expected, const utl::CPropSet& actual);

// Through a connection of its own: the set stored under `key` (null when none), or a Save.
utl::PropSetPtr StoredSet(const std::string& file, const cfg::tSetKey& key);
void StoreSet(const std::string& file, const cfg::tSetKey& key, const utl::PropSetPtr& set);

template <class T>
mem::CBin Value(const T& value, const utl::CUnit* unit = nullptr)
{
    mem::CBin bin;
    if constexpr (std::is_same_v<T, std::wstring> || std::is_same_v<T, mem::PropSetVector>)
        bin.Store(value);
    else
        bin = mem::CBin::Of(value);
    if (unit)
        bin.SetUnit(*unit);
    return bin;
}
inline mem::CBin Int(std::int32_t value) { return Value(value); }
inline mem::CBin Sets(const mem::PropSetVector& sets) { return Value(sets); }
utl::PropSetPtr NewSet(const std::vector<utl::CPropSet::Entry>& entries = {});
mem::PropSetVector SetsOf(const utl::CPropSet& set, int id);
std::optional<std::int32_t> IntOf(const utl::CPropSet& set, int id);

} // namespace cfgtest
