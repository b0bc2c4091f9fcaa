#pragma once

namespace stg {

// The one event ID under which every stage fires its events (a tSTAGEMSG carried in a
// boost::any); the same for the life of the library in the process. Made on first use; needs
// no stage and no registry.
unsigned int GetStageEventID();

} // namespace stg
