// The floors of the position reads. BM_Floor_SnapshotCheck is what a read of the flat API must do
// with the configuration snapshot, and nothing else: look the stage up, take the stage lock once,
// compare the change counters (the stage set's, every axis set's and the stage's outside
// generation) and ask the driver's user-control switch; the position itself comes from the cache
// while nothing moves. BM_Floor_PrescribedReads is what a read cost before the snapshot, and
// what it still costs on a driver that declared read-through: the look-up and the property reads
// through the driver's vessel slots (the axis types, "PrecisionEnabled", the movement check of
// every axis concerned, the calibration, offset and direction of every axis converted) plus the
// user-control switch, once with a lock per read and once under a single hold of the stage lock.
// Compare with BM_GetPositionXY and BM_GetPositionByType of the same run.

#include <plinth/CStageManager.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>

#include "BenchSupport.h"

namespace {

using stg::CLowLevelStage;

constexpr int c_x = 1, c_y = 2, c_z = 3; // the simulated stage's axes

// Reads through the vessels, with their own lock (`held` null) or under `held`.
class CReader {
public:
    CReader(const CLowLevelStage& stage, const CLowLevelStage::CHold* held) : m_stage(stage), m_held(held) {}

    void Axis(int axis, int propID)
    {
        mem::CBin value;
        benchmark::DoNotOptimize(m_held ? m_stage.GetPropertyVessel(*m_held, axis, propID, value)
                                        : m_stage.GetPropertyVessel(axis, propID, value));
        benchmark::DoNotOptimize(value);
    }
    bool Stage(int propID)
    {
        mem::CBin value;
        const int rc =
            m_held ? m_stage.GetPropertyVessel(*m_held, propID, value) : m_stage.GetPropertyVessel(propID, value);
        benchmark::DoNotOptimize(value);
        return rc == stg::c_OK;
    }
    // The movement check of one axis: "AxisEnabled", "ModeSetLimit", and the driver's
    // AreLimitsDefined, whose default reads "AxisEnabled" once more.
    void Check(CLowLevelStage& stage, int axis)
    {
        Axis(axis, stg::c_propAxisEnabled);
        Axis(axis, stg::c_propModeSetLimit);
        benchmark::DoNotOptimize(m_held ? stage.AreLimitsDefined(*m_held, &axis) : stage.AreLimitsDefined(&axis));
    }
    void UserControl(const CLowLevelStage& stage)
    {
        benchmark::DoNotOptimize(m_held ? stage.IsUserControlEnabled(*m_held) : stage.IsUserControlEnabled());
    }
    // Ticks to a physical position: "Calibration", "AxisInverted", "OffsetPosition".
    void Convert(int axis)
    {
        Axis(axis, stg::c_propCalibration);
        Axis(axis, stg::c_propAxisInverted);
        Axis(axis, stg::c_propOffsetPosition);
    }

private:
    const CLowLevelStage& m_stage;
    const CLowLevelStage::CHold* m_held;
};

enum ERead { eXY, eXYPrecision, eOneAxis };

// The prescribed reads of one call, in their order.
void PrescribedReads(CLowLevelStage& stage, const CLowLevelStage::CHold* held, ERead read)
{
    CReader r(stage, held);
    const bool xy = read != eOneAxis;
    // The types to axes: X is the first axis, Y the second.
    r.Axis(c_x, stg::c_propAxisType);
    if (xy) {
        r.Axis(c_x, stg::c_propAxisType);
        r.Axis(c_y, stg::c_propAxisType);
    }
    r.Stage(stg::c_propPrecisionEnabled);
    if (read == eXYPrecision) {
        // The precision read asks the medium level for every axis, then looks at the corrections.
        for (int axis : {c_x, c_y, c_z})
            r.Check(stage, axis);
        r.UserControl(stage);
        if (r.Stage(stg::c_propBacklashEnable))
            r.Stage(stg::c_propUseHWBacklash);
        r.Stage(stg::c_propNonOrthoEnable);
    } else {
        r.Check(stage, c_x);
        if (xy)
            r.Check(stage, c_y);
        r.UserControl(stage);
    }
    r.Convert(c_x);
    if (xy)
        r.Convert(c_y);
    // The axes back to types.
    r.Axis(c_x, stg::c_propAxisType);
    if (xy)
        r.Axis(c_y, stg::c_propAxisType);
}

// Args: the read (eXY, eXYPrecision, eOneAxis) and whether the reads run under one hold.
void BM_Floor_PrescribedReads(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(bench::ESimProfile::eFull, 1.0);
    auto& manager = stg::CStageManager::StageManager();
    CLowLevelStage* stage = manager.GetLowLevel(id);
    if (!stage) {
        state.SkipWithError("no stage");
        return;
    }
    const auto read = static_cast<ERead>(state.range(0));
    const bool oneHold = state.range(1) != 0;
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        const stg::CStageRef ref = manager.Acquire(id); // the flat API's look-up
        if (oneHold) {
            const CLowLevelStage::CHold held(*stage);
            PrescribedReads(*stage, &held, read);
        } else {
            PrescribedReads(*stage, nullptr, read);
        }
    }
    allocs.Report(state);
}
BENCHMARK(BM_Floor_PrescribedReads)
    ->ArgNames({"read", "oneHold"})
    ->ArgsProduct({{eXY, eXYPrecision, eOneAxis}, {0, 1}});

void BM_Floor_SnapshotCheck(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(bench::ESimProfile::eFull, 1.0);
    auto& manager = stg::CStageManager::StageManager();
    CLowLevelStage* stage = manager.GetLowLevel(id);
    if (!stage) {
        state.SkipWithError("no stage");
        return;
    }
    const utl::PropSetPtr stageSet = stage->GetPropSet();
    const bench::CAllocCount allocs;
    for (auto _ : state) {
        const stg::CStageRef ref = manager.Acquire(id); // the flat API's look-up
        const CLowLevelStage::CHold held(*stage);
        std::uint64_t generations = stage->GetOutsideGeneration() + stageSet->Generation();
        stage->ForEachAxis([&](int axis) { generations += stage->GetAxisPropSet(axis)->Generation(); });
        benchmark::DoNotOptimize(generations);
        benchmark::DoNotOptimize(stage->IsUserControlEnabled(held));
    }
    allocs.Report(state);
}
BENCHMARK(BM_Floor_SnapshotCheck);

} // namespace
