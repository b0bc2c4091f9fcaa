#pragma once

#include <cstdint>

namespace stg {

// The configuration-database group that holds the stage settings: one property set per stage,
// keyed by stage ID, plus the stage manager's own set under c_cfgManagerSetID.
constexpr int c_cfgStageGroup = 3;
constexpr std::uint32_t c_cfgManagerSetID = 0;

// IDs of the stage-level and axis-level properties. The comment gives the stored value type
// (mem::CBin type code).

// Stage level
constexpr int c_propAxes = 51501;             // vector of the axes' property sets (Store/Restore)
constexpr int c_propPrecisionEnabled = 51500; // bool (12)
constexpr int c_propPropSetIDs = 51000;       // registered only
constexpr int c_propBacklashEnable = 52500;   // bool
constexpr int c_propNonOrthoEnable = 52501;   // bool
constexpr int c_propNonLinearEnable = 52502;  // bool, registered only
constexpr int c_propExistsHWBacklash = 52503; // bool, registered only
constexpr int c_propUseHWBacklash = 52504;    // bool
constexpr int c_propSWBacklashType = 52505;   // int (5), registered only
constexpr int c_propAngleXY = 52507;          // double (10)

// Axis level
constexpr int c_propAxisNo = 52021;              // int: the axis number
constexpr int c_propAxisEnabled = 52000;         // bool
constexpr int c_propAxisType = 52001;            // int: EAxisType
constexpr int c_propHasLimitSwitch = 52002;      // bool
constexpr int c_propUseLimitSwitch = 52003;      // bool
constexpr int c_propHasFixedUpperLimit = 52004;  // bool
constexpr int c_propHasFixedLowerLimit = 52005;  // bool
constexpr int c_propHasLLRangeDetection = 52006; // bool
constexpr int c_propCalibration = 52007;         // double (10) with a unit: length of one tick
constexpr int c_propMinimum = 52008;             // int64 (7): lower limit, ticks
constexpr int c_propMaximum = 52009;             // int64: upper limit, ticks
constexpr int c_propSpeed = 52010;               // double
constexpr int c_propSpeedMin = 52011;            // double
constexpr int c_propSpeedMax = 52012;            // double
constexpr int c_propPitch = 52013;               // double
constexpr int c_propModifyPitch = 52014;         // bool
constexpr int c_propLastPosition = 52015;        // int64: position at the last Exit, ticks
constexpr int c_propModifySpeed = 52016;         // bool
constexpr int c_propHasAdvancedSpeed = 52018;    // bool
constexpr int c_propAxisInverted = 52019;        // bool
constexpr int c_propOffsetPosition = 52020;      // int64, ticks
constexpr int c_propAllowEscape = 52022;         // bool (Z axes)
constexpr int c_propMirrorLoadPosition = 52023;  // bool (X and Y axes)
constexpr int c_propModeSetLimit = 50001;        // bool: the user is setting the limits
constexpr int c_propOffsetSWBL = 52506;          // int64: software backlash offset, ticks
constexpr int c_propEscapeStep = 53306;          // Z escape step length (read, never registered)

} // namespace stg
