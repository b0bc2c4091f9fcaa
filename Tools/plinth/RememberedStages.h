#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plinthcli {

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
void RememberDriver(std::uint32_t stageID, const std::string& driver);

// The stages whose settings in the configuration file name their driver, ascending by ID; none
// while settings are kept in memory. `unnamed` gets the IDs of stored stages that name none
// (kept by an older version, or opened by a program that does not remember its driver).
std::vector<tRememberedStage> RememberedStages(std::vector<std::uint32_t>& unnamed);

} // namespace plinthcli
