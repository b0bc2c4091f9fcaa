#include <plinth/DriverModules.h>

#include <climits>
#include <memory>

#include <cfg/CSqliteStore.h>
#include <cfg/GlobalPropSets.h>
#include <plinth/driver/PropertyIDs.h>
#include <utl/PropertyRegistry.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace stg {
namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Short names are plain words, so that a name can never climb out of the folder it is looked up in.
bool IsDriverName(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

std::string KnownNames()
{
    std::string names;
    for (const auto& driver : KnownDrivers())
        names += (names.empty() ? "" : ", ") + std::string(driver.name);
    return names;
}

} // namespace

const std::vector<tKnownDriver>& KnownDrivers()
{
    static const std::vector<tKnownDriver> drivers = {
        {"sim", "libplinth_simstage.so", "the simulated stage: 100 mm X/Y and a 10 mm focus drive, no hardware", 1},
        {"zaber", "libplinth_zaber.so", "Zaber stages and focus drives speaking the ASCII protocol on a serial port",
         2},
        {"asi", "libplinth_asi.so", "ASI MS-2000 and Tiger controllers (X/Y stage and Z focus) on a serial port", 3},
    };
    return drivers;
}

std::uint32_t DefaultStageID(const std::string& nameOrPath)
{
    for (const auto& driver : KnownDrivers()) {
        if (nameOrPath == driver.name)
            return driver.defaultStageID;
    }
    return 1;
}

std::string InstalledDriverFolder()
{
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&InstalledDriverFolder), &info) == 0 || !info.dli_fname)
        return "";
    const std::string library = info.dli_fname;
    const std::size_t slash = library.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    return library.substr(0, slash) + "/plinth/drivers";
}

std::vector<std::string> DriverFolders(const std::string& folder)
{
    std::vector<std::string> folders;
    if (!folder.empty())
        folders.push_back(folder);
    // Read once per call; the environment is not changed by this library.
    if (const char* path = std::getenv("PLINTH_DRIVER_PATH")) { // NOLINT(concurrency-mt-unsafe)
        const std::string list = path;
        for (std::size_t start = 0; start <= list.size();) {
            const std::size_t end = std::min(list.find(':', start), list.size());
            // Only absolute folders: a relative one would load whatever the current directory holds.
            if (end > start && list[start] == '/')
                folders.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    const std::string installed = InstalledDriverFolder();
    if (!installed.empty())
        folders.push_back(installed);
    return folders;
}

std::string FindDriverModule(const std::string& nameOrPath, const std::string& folder, std::string& why)
{
    why.clear();
    if (nameOrPath.find('/') != std::string::npos)
        return nameOrPath;
    if (!IsDriverName(nameOrPath)) {
        why = "\"" + nameOrPath + "\" is neither a driver name (" + KnownNames() +
              ") nor a path (a path contains a slash, e.g. ./" + nameOrPath + ")";
        return "";
    }
    std::string file = "libplinth_" + nameOrPath + ".so";
    bool known = false;
    for (const auto& driver : KnownDrivers()) {
        if (nameOrPath == driver.name) {
            file = driver.file;
            known = true;
        }
    }
    const auto folders = DriverFolders(folder);
    std::string searched;
    for (const auto& candidateFolder : folders) {
        std::string candidate = candidateFolder + "/" + file;
        if (access(candidate.c_str(), R_OK) == 0)
            return candidate;
        searched += (searched.empty() ? "" : ", ") + candidateFolder;
    }
    why = (known ? "driver " : "no driver named ") + std::string("\"") + nameOrPath + "\"" +
          (known ? ": " : " (known: " + KnownNames() + "; a module file is named by a path with a slash); ") + "no " +
          file + " in " + (searched.empty() ? "any driver folder" : searched) +
          " (name the folder with PLINTH_DRIVER_PATH)";
    return "";
}

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

} // namespace stg
