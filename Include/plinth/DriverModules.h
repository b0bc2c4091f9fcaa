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

} // namespace stg
