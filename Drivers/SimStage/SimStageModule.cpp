// The driver module's one export: the factory of the simulated stage.

#include <plinth/driver/Driver.h>

#include "CSimStage.h"

PLINTH_DEFINE_CREATE_STAGE(simstage::CSimStage)
