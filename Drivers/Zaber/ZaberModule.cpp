// The driver module's one export: the factory of the Zaber driver.

#include <plinth/driver/Driver.h>

#include "CZaberStage.h"

PLINTH_DEFINE_CREATE_STAGE(zaber::CZaberStage)
