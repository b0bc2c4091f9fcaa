#include <plinth/StageEvents.h>

#include <utl/Events.h>

namespace stg {

unsigned int GetStageEventID()
{
    static const unsigned int id = utl::CreateEventID(); // thread-safe initialisation
    return id;
}

} // namespace stg
