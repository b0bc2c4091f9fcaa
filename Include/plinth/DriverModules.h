#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stg {

// The driver modules that ship with Plinth, known by a short name, and where a module named by
// that name (or by a path) is found. One place for every front end: the `plinth` command and the
// Python package resolve names here.

// A driver that ships with Plinth.
struct tKnownDriver {
    const char* name;        // the short name, e.g. "sim"
    const char* file;        // the module's file name, e.g. "libplinth_simstage.so"
    const char* description; // one line for a listing
    // The stage ID a front end uses when none is given. Settings are kept per stage ID, so each
    // driver has its own: a hardware driver's port never lands on the simulated stage's settings.
    std::uint32_t defaultStageID;
};

// The drivers that ship with Plinth, in the order a listing shows them.
const std::vector<tKnownDriver>& KnownDrivers();

// The stage ID a front end uses for `nameOrPath` when none is given: the known driver's own,
// 1 for any other module.
std::uint32_t DefaultStageID(const std::string& nameOrPath);

// The folder of installed driver modules: plinth/drivers in the folder of the library's own file
// (<libdir>/plinth/drivers); "" when that file cannot be found. A library used from its build
// tree has no such folder there, so a build never falls back on another build's drivers.
std::string InstalledDriverFolder();

// The folders a short name is looked up in, in this order: `folder` when not empty (a program's
// option), every absolute folder named in the environment variable PLINTH_DRIVER_PATH (separated
// by ':'; relative ones are ignored), InstalledDriverFolder(). Nothing else: never the current
// directory, never a build tree.
std::vector<std::string> DriverFolders(const std::string& folder = "");

// The module file of a driver. A `nameOrPath` that contains a '/' is a path and is answered as it
// is (so "./my.so" means the current directory, "my.so" never does). Anything else is a short
// name: a known driver's file, or libplinth_<name>.so for another driver installed beside them,
// in the first of DriverFolders(folder) that has it. "" when the name is not well formed or no
// folder has the file; `why` then says so in one line (the folders searched, the known names).
std::string FindDriverModule(const std::string& nameOrPath, const std::string& folder, std::string& why);

// Which driver each stage was last opened with, kept in the stage's own settings (group
// stg::c_cfgStageGroup of the configuration database, beside the port and the limits the driver
// keeps there), so that `plinth serve` can open the stages a user has worked with. A stage whose
// settings are reset forgets its driver with the rest.

// The stage setting that names the driver: a short name ("sim", "zaber") or an absolute module path.
constexpr int c_propDriverName = 53500;

struct tRememberedStage {
    std::uint32_t id = 0;
    std::string driver; // as RememberDriver stored it
};

// The name a driver module is remembered by: the short name of a driver that ships with Plinth
// or is installed beside them (libplinth_NAME.so), else the module's absolute path.
std::string DriverNameOf(const std::string& modulePath);

// Writes `driver` into the settings of the registered stage `stageID` (written back with them).
// Every front end that opens a stage calls it once the stage is active: the `plinth` command and
// the Python package do.
void RememberDriver(std::uint32_t stageID, const std::string& driver);

// The stages whose settings in the configuration file name their driver, ascending by ID; none
// while settings are kept in memory. `unnamed` gets the IDs of stored stages that name none
// (kept by an older version, or opened by a program that does not remember its driver).
std::vector<tRememberedStage> RememberedStages(std::vector<std::uint32_t>& unnamed);

} // namespace stg
