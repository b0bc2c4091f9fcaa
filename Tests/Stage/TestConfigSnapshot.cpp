// The configuration snapshot of the medium level and the stage access: every read answers what the
// settings hold at that moment, however they were changed, and a read-through driver still sees
// every read.

#include <cfg/GlobalPropSets.h>
#include <cfg/IPropSetStore.h>

#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using stg::CStageAccess;
using Position = CStageAccess::Position;

// X on axis 0 (1 µm per tick) at tick 1000, Y on axis 2 (0.5 µm) at tick 400, Z on axis 3; limits
// ±1,000,000 ticks. The driver's read slots answer what its sets hold, so it may leave them out
// of read-through.
struct tSnapshotRig {
    explicit tSnapshotRig(bool readThrough)
    {
        stg::tAxisProps x = XAxis(0);
        x.calibration = Position(1.0, utl::c_mum);
        tTestStageConfig config = FullDriver({x, YAxis(2), ZAxis(3)});
        config.readThrough = readThrough;
        stage = MakeStage(std::move(config));
        stage->Init();
        for (int axis : {0, 2, 3})
            stage->SetAxisLimits(axis, -1'000'000, 1'000'000);
        stage->SetPositions({{0, 1000}, {2, 400}, {3, 0}});
        medium = std::make_unique<stg::CMediumLevelStage>(*stage);
        access = std::make_unique<CStageAccess>(*medium);
    }
    // The read of X by type, as the flat API makes it; c_OK and the position, or the failure.
    Position ReadX(int expected = stg::c_OK)
    {
        const stg::EAxisType type = stg::eAxisX;
        Position position(-1.0, utl::c_null);
        EXPECT_EQ(access->GetPositions(&type, &position, 1), expected);
        return position;
    }
    // The property set of the axis inside the stage set, for writes that bypass the library.
    utl::PropSetPtr AxisSet(int axis)
    {
        mem::CBin stored;
        mem::PropSetVector sets;
        stage->GetPropSet()->GetProperty(stg::c_propAxes, stored);
        stored.Restore(sets);
        for (const auto& set : sets) {
            mem::CBin number;
            std::int32_t axisNo = -1;
            if (set->GetProperty(stg::c_propAxisNo, number) && number.Get(axisNo) && axisNo == axis)
                return set;
        }
        return nullptr;
    }
    TestStagePtr stage;
    std::unique_ptr<stg::CMediumLevelStage> medium;
    std::unique_ptr<CStageAccess> access;
};

// A store that holds "PrecisionEnabled" on for one stage: attached, it hands it to the stage set.
class CPrecisionStore : public cfg::IPropSetStore {
public:
    explicit CPrecisionStore(std::uint32_t stageID) : m_stageID(stageID) {}
    bool Load(const cfg::tSetKey& key, utl::CPropSet& set) override
    {
        if (key.group != stg::c_cfgStageGroup || key.id != m_stageID)
            return false;
        set.SetProperty(stg::c_propPrecisionEnabled, mem::CBin::Of(true));
        return true;
    }
    bool Save(const std::vector<std::pair<cfg::tSetKey, utl::PropSetPtr>>&) override { return true; }
    bool Erase(const cfg::tSetKey&) override { return true; }

private:
    std::uint32_t m_stageID;
};

TEST(ConfigSnapshot, EveryWayOfChangingASettingIsSeenByTheNextRead)
{
    tSnapshotRig rig(false);
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 1000.0);
    // The second read of unchanged settings reaches no read slot: the snapshot answers.
    rig.stage->ClearCalls();
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 1000.0);
    EXPECT_EQ(rig.stage->CallCount(ESlot::GetAxisProperty), 0);
    EXPECT_EQ(rig.stage->CallCount(ESlot::GetStageProperty), 0);

    // Through the library.
    stg::WriteAxisProperty(*rig.stage, 0, stg::c_propCalibration, Position(2.0, utl::c_mum));
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 2000.0);

    // Straight into the axis set and into the stage set, past the library.
    rig.AxisSet(0)->SetProperty(stg::c_propAxisInverted, mem::CBin::Of(true));
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), -2000.0);
    rig.AxisSet(0)->SetProperty(stg::c_propAxisInverted, mem::CBin::Of(false));
    stg::WriteAxisProperty(*rig.stage, 3, stg::c_propAxisEnabled, false); // precision mode reads every axis
    rig.ReadX();
    rig.stage->GetPropSet()->SetProperty(stg::c_propPrecisionEnabled, mem::CBin::Of(true));
    rig.ReadX(stg::c_AxisDisabled);
    rig.stage->GetPropSet()->SetProperty(stg::c_propPrecisionEnabled, mem::CBin::Of(false));
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 2000.0);

    // The configuration database's take-over of what a new store holds.
    cfg::SetStore(std::make_unique<CPrecisionStore>(rig.stage->GetStageID()));
    rig.ReadX(stg::c_AxisDisabled);
    cfg::SetStore(nullptr);
    rig.access->EnablePrecision(false);
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 2000.0);

    // Limits undefined (kept outside the sets: here their values were deleted past the library
    // before) and defined again.
    rig.AxisSet(0)->DelProperty(stg::c_propMinimum);
    rig.AxisSet(0)->DelProperty(stg::c_propMaximum);
    rig.ReadX();
    rig.stage->UndefineLimits({0});
    rig.ReadX(stg::c_LimitsNotDefined);
    rig.stage->SetAxisLimits(0, -10, 10);
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 2000.0);
    for (std::int64_t target : {-11, 11})
        EXPECT_EQ(rig.medium->MoveToPos({{0, target}}), stg::c_TargetOutOfRange) << target;

    // A re-Init without axes, then one that puts X on another axis, with fresh settings.
    rig.stage->Config().axes.clear();
    ASSERT_EQ(rig.stage->Init(), stg::c_OK);
    rig.ReadX(stg::c_NoSuchAxis);
    stg::tAxisProps x = XAxis(2);
    x.calibration = Position(3.0, utl::c_mum);
    rig.stage->Config().axes = {YAxis(0), x, ZAxis(3)};
    rig.stage->Config().freshAxes = true;
    ASSERT_EQ(rig.stage->Init(), stg::c_OK);
    rig.ReadX(stg::c_LimitsNotDefined);
    rig.stage->SetAxisLimits(2, -1'000'000, 1'000'000);
    EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 1200.0);
}

TEST(ConfigSnapshot, AReadThroughDriverSeesEveryRead)
{
    tSnapshotRig rig(true);
    int reads[2] = {};
    for (int& count : reads) {
        rig.stage->ClearCalls();
        EXPECT_DOUBLE_EQ(rig.ReadX().GetValue(), 1000.0);
        count = rig.stage->CallCount(ESlot::GetAxisProperty) + rig.stage->CallCount(ESlot::GetStageProperty);
    }
    EXPECT_GT(reads[0], 0);
    EXPECT_EQ(reads[1], reads[0]);
}

} // namespace
} // namespace stgtest
