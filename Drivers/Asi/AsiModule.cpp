// The driver module's one export: the factory of the ASI driver.

#include <plinth/driver/Driver.h>

#include "CAsiStage.h"

PLINTH_DEFINE_CREATE_STAGE(asi::CAsiStage)
