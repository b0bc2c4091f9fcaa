#pragma once

// Everything an application needs of Plinth: the stage classes, the registry, the flat API and the
// records of namespace stg, and the base types they use (units, values, property sets, events).
// A driver includes <plinth/driver/Driver.h> alone.

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <mem/CBin.h>
#include <utl/CPropSet.h>
#include <utl/CUnit.h>
#include <utl/Events.h>
#include <utl/TUnitValue.h>

#include <plinth/CBaseStageML.h>
#include <plinth/CMediumLevelStage.h>
#include <plinth/CPositionStorage.h>
#include <plinth/CPrecision.h>
#include <plinth/CStageAccess.h>
#include <plinth/CStageManager.h>
#include <plinth/CStageRef.h>
#include <plinth/DriverModules.h>
#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/StageEvents.h>
#include <plinth/ZEscape.h>
#include <plinth/driver/CAxis.h>
#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/CreateStage.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/driver/StageTypes.h>
#include <plinth/tSTAGEMSG.h>
