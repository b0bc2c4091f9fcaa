#include <plinth/tSTAGEMSG.h>

#include <utl/Events.h>

namespace stg {

unsigned int GetStageEventID()
{
    // Created on first use, then the same for the life of the library in the process.
    static const unsigned int eventID = utl::CreateEventID();
    return eventID;
}

} // namespace stg
