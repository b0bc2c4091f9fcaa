#include "ConfigCommand.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <unistd.h>

#include <boost/make_shared.hpp>

#include <cfg/GlobalPropSets.h>
#include <plinth/driver/PropertyIDs.h>

#include "CCommands.h"

namespace plinthcli {

void ShowConfig()
{
    const std::string path = cfg::GetConfigPath();
    // Read once, before any thread of ours runs.
    const char* chosen = std::getenv("PLINTH_CONFIG"); // NOLINT(concurrency-mt-unsafe)
    if (path == cfg::c_inMemory)
        std::printf("settings: kept in memory only (:memory:), nothing is stored\n");
    else
        std::printf("settings: %s\n", path.c_str());
    if (chosen && chosen[0] != '\0')
        std::printf("chosen by PLINTH_CONFIG=%s\n", chosen);
    else
        std::printf("the default; PLINTH_CONFIG=FILE chooses another file, PLINTH_CONFIG=:memory: keeps settings "
                    "in memory only\n");
    const std::string error = cfg::LastError();
    if (!error.empty())
        std::printf("not usable, so kept in memory only: %s\n", error.c_str());
    std::printf("plinth config reset STAGE forgets one stage's stored settings\n");
}

void ResetStageSettings(const std::string& stageText, bool confirmed)
{
    if (stageText.empty())
        throw CArgumentError("config reset needs the stage ID (plinth config reset 1)");
    // Stage IDs start at 1: the set under 0 is the stage manager's own.
    const auto stageID = ParseInteger<std::uint32_t>(stageText, "stage", 1);
    if (!confirmed && !isatty(STDIN_FILENO))
        throw CArgumentError("config reset: no terminal to confirm on; add --yes to reset stage " +
                             std::to_string(stageID));
    const std::string path = cfg::GetConfigPath();
    if (path == cfg::c_inMemory) {
        std::printf("settings are kept in memory only: stage %u has nothing stored\n", stageID);
        return;
    }
    if (!confirmed) {
        std::printf("forget every stored setting of stage %u (limits, calibrations, speeds, driver settings) in %s? "
                    "[y/N] ",
                    stageID, path.c_str());
        std::fflush(stdout);
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "yes")
            throw CCommandError("stage " + std::to_string(stageID) + " not reset: not confirmed");
    }
    // Plugged empty, the set is filled with what the file holds for the stage; taking it out
    // again erases that from the file.
    const auto stored = boost::make_shared<utl::CPropSet>();
    cfg::PlugGlobalPropSet(stg::c_cfgStageGroup, stageID, stored, false);
    const std::size_t count = stored->Count();
    if (!cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, stageID))
        throw CCommandError("resetting stage " + std::to_string(stageID) + ": " + cfg::LastError());
    if (count == 0)
        std::printf("stage %u had no stored settings in %s\n", stageID, path.c_str());
    else
        std::printf("stage %u: its stored settings are forgotten in %s; the driver's defaults hold from its next "
                    "start\n",
                    stageID, path.c_str());
}

} // namespace plinthcli
