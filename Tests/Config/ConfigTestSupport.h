#pragma once

// Helpers of the configuration-file tests: temporary directories, child processes, set
// comparison and direct looks into a configuration file.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
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
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// Generous bound for a child's answer, also under the sanitizers: a failing test ends instead of
// hanging.
constexpr std::chrono::milliseconds c_childTimeout{60000};

// A child process running the helper program (plinth_config_helper) with the given arguments.
// Its standard input and output are pipes; its standard error is the test's, or merged into the
// output pipe.
class CChild {
public:
    // Environment changes: a value sets the variable, nothing removes it.
    using Environment = std::map<std::string, std::optional<std::string>>;
    CChild(const std::vector<std::string>& args, const Environment& env, bool mergeStderr = false);
    ~CChild(); // kills a child still running
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // The next line of output without its newline; nothing at the end of the output or on time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = c_childTimeout);
    // Every line up to the end of the output.
    std::vector<std::string> ReadAllLines(std::chrono::milliseconds timeout = c_childTimeout);
    void WriteLine(const std::string& line);
    void Kill(int signal);
    // The exit code, or 128 + the signal that ended it.
    int Wait();

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    bool m_eof = false;
};

// Runs the helper to its end; its output lines, and its exit code through `code`.
std::vector<std::string> RunHelper(const std::vector<std::string>& args, const CChild::Environment& env, int& code,
                                   bool mergeStderr = false);

// Deep comparison: same IDs, type codes, units and bytes; property-set vectors of the same length
// with null elements in the same places and equal nested sets. A description of the first
// difference, or nothing.
std::optional<std::string> Difference(const utl::CPropSet& expected, const utl::CPropSet& actual);

// The set stored under `key` in the file, read through a connection of its own; null when the
// file holds nothing for the key or cannot be opened.
utl::PropSetPtr StoredSet(const std::string& file, const cfg::tSetKey& key);
std::vector<cfg::tSetKey> StoredKeys(const std::string& file);
// Stores `set` under `key` in the file, through a connection of its own.
void StoreSet(const std::string& file, const cfg::tSetKey& key, const utl::PropSetPtr& set);

// Value builders.
mem::CBin Int(std::int32_t value);
mem::CBin Int64(std::int64_t value);
mem::CBin Double(double value);
mem::CBin Double(double value, const utl::CUnit& unit);
mem::CBin Bool(bool value);
mem::CBin Text(const std::wstring& text);
mem::CBin Sets(const mem::PropSetVector& sets);
utl::PropSetPtr NewSet(const std::vector<utl::CPropSet::Entry>& entries = {});
// The nested sets of a property-set vector property (empty when absent).
mem::PropSetVector SetsOf(const utl::CPropSet& set, int id);
std::optional<std::int32_t> IntOf(const utl::CPropSet& set, int id);

} // namespace cfgtest
