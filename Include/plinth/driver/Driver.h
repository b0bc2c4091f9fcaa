#pragma once

// Everything a stage driver needs of Plinth, and nothing more: the low-level stage it derives
// from, its axes and records, the property IDs with the typed property access, declaring its
// own settings by name (utl::RegisterProperty with a utl::tPropertyInfo: level, unit, range or
// allowed values, description), the result codes and the exported factory (PLINTH_DEFINE_CREATE_STAGE).
// A driver never needs the stage registry, the flat API or module loading; applications include
// <plinth/Plinth.h> instead.

#include <mem/CBin.h>
#include <utl/CPropSet.h>
#include <utl/CUnit.h>
#include <utl/PropertyRegistry.h>
#include <utl/TUnitValue.h>

#include <plinth/driver/CAxis.h>
#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/CreateStage.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/driver/StageTypes.h>
