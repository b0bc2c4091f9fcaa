#include <cfg/GlobalPropSets.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "CDatabase.h"

namespace cfg {
namespace {

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string HomeDirectory()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        *found->pw_dir)
        return found->pw_dir;
    return {};
}

// Ends the database at the end of the process. Constructed right after the database, so it is
// destroyed after every static object whose construction used the database (the stage manager
// plugs its set from its constructor).
struct tExitGuard {
    CDatabase& db;
    ~tExitGuard() { db.Shutdown(); }
};

CDatabase& Database()
{
    // Never destroyed: sets that outlive the static objects may still notify it.
    static CDatabase* const database = new CDatabase();
    static const tExitGuard guard{*database};
    (void)guard;
    return *database;
}

} // namespace

bool PlugGlobalPropSet(int group, std::uint32_t id, const utl::PropSetPtr& set, bool keepSetValues)
{
    return Database().Plug(tSetKey{group, id}, set, keepSetValues);
}

bool UnPlugGlobalPropSet(int group, std::uint32_t id) { return Database().UnPlug(tSetKey{group, id}); }

bool Flush() { return Database().Flush(); }

utl::PropSetPtr GetGlobalPropSet(int group, std::uint32_t id) { return Database().Get(tSetKey{group, id}); }

void SetStore(std::unique_ptr<IPropSetStore> store) { Database().SetStore(std::move(store)); }

bool SetConfigPath(const std::string& path) { return Database().SetConfigPath(path); }

std::string GetConfigPath() { return Database().ConfigPath(); }

std::string DefaultConfigPath()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return WithoutTrailingSlashes(dataHome) + "/plinth/config.db";
    const std::string home = HomeDirectory();
    if (home.empty())
        return c_inMemory;
    return WithoutTrailingSlashes(home) + "/.local/share/plinth/config.db";
}

std::string LastError() { return Database().Error(); }

bool WaitForWriteBack(std::chrono::milliseconds timeout) { return Database().WaitForWriteBack(timeout); }

} // namespace cfg
