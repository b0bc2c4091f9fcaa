#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <utl/TUnitValue.h>

namespace stg {

// The physical role of an axis, stored per axis in "AxisType". Drivers may store other values;
// the library passes them through unchanged.
enum EAxisType : std::int32_t {
    eAxisNone = -1, // answered by the type queries when no axis / no type is found
    eAxisX = 1,
    eAxisY = 2,
    eAxisZ = 3,
};

// Which axes a query that fills a map covers. Only 0 is tested for; every other value means
// eGivenAxes.
enum ESelection : std::int32_t {
    eAllAxes = 0,   // the map is emptied and refilled with every axis, ascending
    eGivenAxes = 1, // only the keys already in the map are read
};

// A time-out (milliseconds) that waits without limit, wherever the library or a driver takes one.
inline constexpr std::uint32_t c_waitForever = UINT32_MAX;

// Capabilities a driver declares in its constructor; all true after the low-level constructor.
// Drivers are built separately from the library: the layout is binding.
struct tSTAGECAPS {
    bool flag1 = true; // meaning left to the driver; not read by the library
    bool flag2 = true; // likewise
    bool flag3 = true; // likewise
    // The medium level may emulate MoveFree by moving towards the limits. Without it a free run
    // of an axis whose limits are in force is refused (c_NotImplemented): the driver's own free
    // run would pass them.
    bool emulateFreeMove = true;
};

// Description of one axis that a driver hands to CLowLevelStage::AddAxis; it becomes the axis's
// default properties. Positions, limits and offsets are ticks. The layout is binding.
struct tAxisProps {
    std::int32_t axisNo = 0; // "AxisNo"; must be 0 or more
    EAxisType axisType = eAxisNone;
    bool enabled = true;
    bool hasLimitSwitch = false;
    bool useLimitSwitch = false;
    bool hasFixedLowerLimit = false; // also gates `minimum`
    bool hasFixedUpperLimit = false; // also gates `maximum`
    bool hasLLRangeDetection = false;
    utl::TUnitValue<double> calibration{1.0, utl::c_mum}; // length of one tick
    std::int64_t minimum = 0;                             // "Minimum", only with hasFixedLowerLimit
    std::int64_t maximum = 0;                             // "Maximum", only with hasFixedUpperLimit
    double speed = 0.0;
    double speedMin = 0.0;
    double speedMax = 0.0;
    bool modifySpeed = false;
    bool hasAdvancedSpeed = false;
    double pitch = 0.0;
    bool modifyPitch = false;
    std::int64_t lastPosition = 0;
    std::uint64_t reserved = 0; // neither read nor written by the library
    bool axisInverted = false;
    std::int64_t offsetPosition = 0;
};

static_assert(sizeof(EAxisType) == 4 && sizeof(ESelection) == 4);
static_assert(sizeof(utl::CUnit) == 4 && sizeof(utl::TUnitValue<double>) == 16);
static_assert(std::is_standard_layout_v<tSTAGECAPS> && sizeof(tSTAGECAPS) == 4);
static_assert(offsetof(tSTAGECAPS, emulateFreeMove) == 3);
static_assert(std::is_standard_layout_v<tAxisProps>);
static_assert(offsetof(tAxisProps, axisNo) == 0 && offsetof(tAxisProps, axisType) == 4);
static_assert(offsetof(tAxisProps, enabled) == 8 && offsetof(tAxisProps, hasLLRangeDetection) == 13);
static_assert(offsetof(tAxisProps, calibration) == 16 && offsetof(tAxisProps, minimum) == 32);
static_assert(offsetof(tAxisProps, maximum) == 40 && offsetof(tAxisProps, speed) == 48);
static_assert(offsetof(tAxisProps, speedMax) == 64 && offsetof(tAxisProps, modifySpeed) == 72);
static_assert(offsetof(tAxisProps, hasAdvancedSpeed) == 73 && offsetof(tAxisProps, pitch) == 80);
static_assert(offsetof(tAxisProps, modifyPitch) == 88 && offsetof(tAxisProps, lastPosition) == 96);
static_assert(offsetof(tAxisProps, reserved) == 104 && offsetof(tAxisProps, axisInverted) == 112);
static_assert(offsetof(tAxisProps, offsetPosition) == 120 && sizeof(tAxisProps) == 128);

} // namespace stg
