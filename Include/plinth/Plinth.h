#pragma once

// Everything an application needs of Plinth: the stage classes, the registry, the flat API and the
// records of namespace stg, and the base types they use (units, values, property sets, events).
// A driver includes <plinth/Driver.h> alone.

#include <geo/CdVec2.h>
#include <geo/CdVec3.h>
#include <mem/CBin.h>
#include <utl/CPropSet.h>
#include <utl/CUnit.h>
#include <utl/Events.h>
#include <utl/TUnitValue.h>

#include <plinth/CAxis.h>
#include <plinth/CBaseStageML.h>
#include <plinth/CLowLevelStage.h>
#include <plinth/CMediumLevelStage.h>
#include <plinth/CPositionStorage.h>
#include <plinth/CPrecision.h>
#include <plinth/CStageAccess.h>
#include <plinth/CStageManager.h>
#include <plinth/CStageRef.h>
#include <plinth/CreateStage.h>
#include <plinth/DriverModules.h>
#include <plinth/PropertyAccess.h>
#include <plinth/PropertyIDs.h>
#include <plinth/ResultCodes.h>
#include <plinth/StageAPI.h>
#include <plinth/StageAPIAxes.h>
#include <plinth/StageAPICoordinates.h>
#include <plinth/StageEvents.h>
#include <plinth/StageTypes.h>
#include <plinth/ZEscape.h>
#include <plinth/tSTAGEMSG.h>
