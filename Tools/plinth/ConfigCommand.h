#pragma once

#include <string>

namespace plinthcli {

// `plinth config`: where the stage settings are kept (the configuration database, or ":memory:")
// and how PLINTH_CONFIG chooses it.
void ShowConfig();

// `plinth config reset STAGE`: forgets every setting stored for stage `stageText` (its limits,
// calibrations, speeds, last positions and driver settings), so that its next registration
// starts from the driver's defaults. Without `confirmed` it asks on the terminal; without a
// terminal it throws CArgumentError (nothing is done). A "no" throws CCommandError. Run it while
// no process has the stage registered: such a process writes its settings again when it ends.
void ResetStageSettings(const std::string& stageText, bool confirmed);

} // namespace plinthcli
