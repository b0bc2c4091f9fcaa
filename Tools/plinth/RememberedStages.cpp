#include "RememberedStages.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include <cfg/CSqliteStore.h>
#include <cfg/GlobalPropSets.h>
#include <plinth/DriverModules.h>
#include <plinth/driver/PropertyIDs.h>
#include <utl/PropertyRegistry.h>

namespace plinthcli {
namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

} // namespace

std::string DriverNameOf(const std::string& modulePath)
{
    const std::string file = modulePath.substr(modulePath.find_last_of('/') + 1);
    for (const auto& known : stg::KnownDrivers())
        if (file == known.file)
            return known.name;
    const std::string prefix = "libplinth_", suffix = ".so";
    if (file.size() > prefix.size() + suffix.size() && file.compare(0, prefix.size(), prefix) == 0 &&
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
        return file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    char resolved[PATH_MAX];
    return realpath(modulePath.c_str(), resolved) ? std::string(resolved) : modulePath;
}

void RememberDriver(std::uint32_t stageID, const std::string& driver)
{
    // Registered with the first stage, so that `plinth prop DriverName` shows the setting.
    static const bool registered = utl::RegisterProperty(
        {L"DriverName",
         c_propDriverName,
         mem::c_tWString,
         utl::EPropertyScope::Stage,
         L"",
         std::nullopt,
         std::nullopt,
         {},
         L"the driver this stage was last opened with, for plinth serve (a short name or a module path)",
         {}});
    (void)registered;
    const utl::PropSetPtr settings = cfg::GetGlobalPropSet(stg::c_cfgStageGroup, stageID);
    if (!settings)
        return;
    mem::CBin value;
    value.Store(std::wstring(driver.begin(), driver.end())); // names and paths of drivers are ASCII
    settings->SetProperty(c_propDriverName, value);
}

std::vector<tRememberedStage> RememberedStages(std::vector<std::uint32_t>& unnamed)
{
    std::vector<tRememberedStage> stages;
    const std::string path = cfg::GetConfigPath();
    if (path.empty() || path == cfg::c_inMemory)
        return stages;
    // A connection of its own, only reading: the database's sets are plugged for stages that are
    // registered, and these are not (yet).
    std::string error;
    const std::unique_ptr<cfg::CSqliteStore> store = cfg::CSqliteStore::Open(path, error, false);
    if (!store || !store->FileExists())
        return stages;
    for (const cfg::tSetKey& key : store->StoredKeys()) {
        if (key.group != stg::c_cfgStageGroup || key.id == stg::c_cfgManagerSetID)
            continue;
        utl::CPropSet settings;
        mem::CBin value;
        std::wstring driver;
        if (store->Load(key, settings) && settings.GetProperty(c_propDriverName, value) && value.Restore(driver) &&
            !driver.empty())
            stages.push_back({key.id, Narrow(driver)});
        else
            unnamed.push_back(key.id);
    }
    return stages;
}

} // namespace plinthcli
