#pragma once

#include <cstdint>
#include <vector>

#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/ResultCodes.h>
#include <plinth/driver/StageTypes.h>
#include <utl/TUnitValue.h>

namespace stg::detail {

// The settings of one stage that its moves and position reads need, read through the driver's
// vessel slots and converted, and read again only when a change counter moved: the generation of
// the stage property set, that of every axis set, and the low-level stage's outside generation
// (the axis map, whether limits are defined). A write through the library and a write straight
// into a property set both bump one of them, so every answer equals what reading the settings at
// that moment would give. For a driver that declared read-through the snapshot is read again at
// every use, so every read of the layers above reaches its slots.
//
// Locking: the object is guarded by its stage's lock. Current() is called with that lock held
// (by `held`); it compares the counters (a few atomic loads) and re-reads everything when one
// moved. What it answers stays valid while the caller keeps the hold and calls nothing that could
// change a setting; a nested Current() on the same thread refreshes the same object in place.
class CStageConfig {
public:
    using Position = utl::TUnitValue<double>;
    using Hold = CLowLevelStage::CHold;

    struct tAxis {
        int axis = -1;
        bool typeKnown = false; // the "AxisType" read succeeded; then `type` holds it
        EAxisType type = eAxisNone;
        int check = c_OK; // the movement check of the axis (CheckAxis)
        bool settingLimits = false;
        int limitsRead = c_OK; // GetAxisLimits's answer, and then the limits in ticks
        std::int64_t lower = 0, upper = 0;
        bool calibrated = false; // "Calibration" was readable (it is 1 µm when read without value)
        Position calibration;
        bool inverted = false;              // "AxisInverted"; false when unreadable
        std::int64_t offset = 0;            // "OffsetPosition"; 0 when unreadable
        std::int64_t swBacklash = 0;        // "OffsetSWBL"; 0 when unreadable
        const utl::CPropSet* set = nullptr; // the axis's property set and its generation when read
        std::uint64_t generation = 0;
    };

    using TickMap = CLowLevelStage::TickMap;

    // The snapshot of `stage`, brought up to date. Expects the stage lock held by `held`.
    const CStageConfig& Current(CLowLevelStage& stage, const Hold& held)
    {
        if (stage.ReadsThrough() || !IsCurrent(stage))
            Refresh(stage, held);
        return *this;
    }

    // The axis's entry; null for an axis the stage does not have.
    const tAxis* Axis(int axis) const noexcept;
    // The movement check: "AxisEnabled" (its read's failure is the answer; false:
    // c_AxisDisabled), then outside limit-setting mode the driver's AreLimitsDefined
    // (c_LimitsNotDefined); c_NoSuchAxis for an unknown axis.
    int Check(int axis) const noexcept { return Axis(axis) ? Axis(axis)->check : c_NoSuchAxis; }
    // The lowest-numbered axis of `type`; -1 when none or an "AxisType" unreadable before it.
    int AxisFromType(EAxisType type) const noexcept;
    // eAxisNone when unknown or unreadable.
    EAxisType TypeOf(int axis) const noexcept
    {
        return Axis(axis) && Axis(axis)->typeKnown ? Axis(axis)->type : eAxisNone;
    }
    // The medium level's target check: first may every axis move at all (Check), then does every
    // target lie within its axis's limits (axes in limit-setting mode are not bounded).
    int CheckTargets(const TickMap& targets) const noexcept;

    bool precisionEnabled = false; // "PrecisionEnabled"
    bool swBacklash = false;       // "BacklashEnable" on and "UseHWBacklash" off, both readable
    bool nonOrtho = false;         // "NonOrthoEnable" readable and on
    bool angleRead = false;        // "AngleXY" readable; then `angleDeg` holds it, else 90
    double angleDeg = 90.0;

private:
    static int CheckAxis(CLowLevelStage& stage, const Hold& held, int axis); // reads the settings
    bool IsCurrent(const CLowLevelStage& stage) const noexcept;
    void Refresh(CLowLevelStage& stage, const Hold& held);

    const utl::CPropSet* m_stageSet = nullptr; // null until the first Refresh
    std::uint64_t m_stageGeneration = 0;
    std::uint64_t m_outsideGeneration = 0;
    std::vector<tAxis> m_axes; // ascending by axis number
};

} // namespace stg::detail
