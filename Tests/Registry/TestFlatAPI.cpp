// The flat API frame: missing-stage answers, typed properties and stage events, all
// through a stage registered from the test driver module.

#include <chrono>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <app/LastError.h>

#include "RegistryTestSupport.h"

namespace stgtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Position = utl::TUnitValue<double>;
using Vec2 = utl::TUnitValue<geo::CdVec2>;
constexpr long long c_missing = stg::c_NoSuchStage;

// Both key forms must give the same answer; a difference shows as a value no function answers.
long long Both(int first, int second) { return first == second ? first : -999999; }

// Every function finds its stage through one shared lookup; one function of each shape (stage
// and axis properties, maps by axis and by type, single axes, vectors, yes/no and count answers)
// shows that a stage that is missing, or registered but not active, answers c_NoSuchStage (or
// false, 0, -1) and leaves the caller's values alone.
TEST(FlatAPI, MissingStageAnswers)
{
    CModuleStage registeredOnly;
    ASSERT_TRUE(stg::CStageManager::StageManager().RegisterStage(registeredOnly.info));
    for (const std::uint32_t stageID : {UniqueStageID(), registeredOnly.id}) {
        SCOPED_TRACE(stageID);
        const Position sentinel(42, utl::c_m);
        Position pos = sentinel;
        std::map<int, Position> byAxis{{1, sentinel}};
        std::map<stg::EAxisType, Position> byType{{stg::eAxisX, sentinel}};
        bool flag = true;
        Vec2 vec2({42, 42}, utl::c_m);
        const auto x = stg::eAxisX;
        app::ClearLastError();
        EXPECT_FALSE(stg::CheckConnection(stageID));
        EXPECT_EQ(stg::GetAxisCount(stageID), 0);
        EXPECT_FALSE(stg::IsMoving(stageID, 1));
        EXPECT_EQ(stg::StopMoving(stageID), c_missing);
        EXPECT_EQ(stg::GetProperty(stageID, stg::c_propPrecisionEnabled, flag), c_missing);
        EXPECT_EQ(stg::SetProperty(stageID, 1, stg::c_propSpeed, 1.0), c_missing);
        EXPECT_EQ(
            Both(stg::GetPosition(stageID, byAxis, stg::eAllAxes), stg::GetPosition(stageID, byType, stg::eAllAxes)),
            c_missing);
        EXPECT_EQ(Both(stg::GetPosition(stageID, 1, pos), stg::GetPosition(stageID, x, pos)), c_missing);
        EXPECT_EQ(stg::GetPositionXY(stageID, vec2), c_missing);
        // Outputs stay as they were.
        EXPECT_EQ(byAxis.at(1), sentinel);
        EXPECT_EQ(byType.at(stg::eAxisX), sentinel);
        EXPECT_EQ(pos, sentinel);
        EXPECT_TRUE(flag);
        EXPECT_EQ(vec2.GetValue(), geo::CdVec2(42, 42));
        EXPECT_FALSE(app::GetLastError()); // nothing is recorded by the functions themselves
    }
}

class TypedProperties : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(stage.Bring()); }
    CModuleStage stage;
};

TEST_F(TypedProperties, ValuesRoundTripWithTheirTypes)
{
    const std::uint32_t id = stage.id;
    // The limits are not open to them.
    for (int propID : {stg::c_propMinimum, stg::c_propMaximum}) {
        std::int64_t ticks = 77;
        EXPECT_EQ(stg::GetProperty(id, stg::eAxisY, propID, ticks), stg::c_PropertyNotAccessible);
        EXPECT_EQ(stg::SetProperty(id, 1, propID, ticks), stg::c_PropertyNotAccessible);
        EXPECT_EQ(stg::SetProperty(id, propID, 1.5), stg::c_PropertyNotAccessible);
        EXPECT_EQ(ticks, 77);
    }
    EXPECT_FALSE(stg::AreLimitsDefined(id)); // nothing was written

    const utl::TUnitValue<double> calibration(0.25, utl::c_mm);
    ASSERT_EQ(stg::SetProperty(id, stg::eAxisY, stg::c_propCalibration, calibration), stg::c_OK);
    utl::TUnitValue<double> read;
    EXPECT_EQ(stg::GetProperty(id, 2, stg::c_propCalibration, read), stg::c_OK);
    EXPECT_EQ(read, calibration);

    // The stage's structure is not writable this way: a write would cut the axes off their
    // settings. Reads pass, and every stored setting survives the attempts.
    EXPECT_EQ(stg::SetProperty(id, stg::c_propAxes, 0), stg::c_PropertyNotAccessible);
    EXPECT_EQ(stg::SetProperty(id, 1, stg::c_propAxisType, int{stg::eAxisZ}), stg::c_PropertyNotAccessible);
    EXPECT_EQ(stg::SetProperty(id, stg::eAxisY, stg::c_propAxisNo, 7), stg::c_PropertyNotAccessible);
    int type = 0;
    EXPECT_EQ(stg::GetProperty(id, 1, stg::c_propAxisType, type), stg::c_OK);
    EXPECT_EQ(type, stg::eAxisX);
    stg::CStageManager::StageManager().ReInitialize(stage.info);
    EXPECT_EQ(stg::GetProperty(id, 2, stg::c_propCalibration, read), stg::c_OK);
    EXPECT_EQ(read, calibration);

    EXPECT_EQ(stg::SetProperty(id, 1, stg::c_propOffsetPosition, std::int64_t{-9'000'000'000}), stg::c_OK);
    std::int64_t offset = 0;
    EXPECT_EQ(stg::GetProperty(id, stg::eAxisX, stg::c_propOffsetPosition, offset), stg::c_OK);
    EXPECT_EQ(offset, -9'000'000'000);

    // Asked as another type, a value is refused and the caller's value stays.
    int asInt = 5;
    EXPECT_EQ(stg::GetProperty(id, 1, stg::c_propOffsetPosition, asInt), stg::c_PropertyNotAccessible);
    EXPECT_EQ(asInt, 5);
}

// A subscriber runs with no library lock held. From inside it, another thread reads the firing
// stage and a second stage in precision mode (precision lock, then stage lock) and is waited for:
// were the subscriber under the stage lock, this is the deadlock of two threads taking the two
// locks in opposite orders, and of two stages whose subscribers read each other. The wait is
// bounded, so such a deadlock shows as a failure.
TEST_F(TypedProperties, SubscribersRunOutsideEveryLibraryLock)
{
    CModuleStage other;
    ASSERT_TRUE(other.Bring());
    const Position lower(-100, utl::c_mum), upper(100, utl::c_mum);
    for (std::uint32_t id : {stage.id, other.id}) {
        for (int axis : {1, 2})
            ASSERT_EQ(stg::SetAxisLimits(id, axis, lower, upper), stg::c_OK);
        stg::EnablePrecision(id, true);
    }
    const std::uint32_t first = stage.id, second = other.id;
    std::vector<std::future<void>> reads; // joined after the firing calls have returned
    std::vector<int> blocked;             // kinds of event whose subscriber could not get through
    const auto token = utl::SubscribeEvent(stg::GetStageEventID(), [&](const boost::any& message) {
        const auto& msg = boost::any_cast<const stg::tSTAGEMSG&>(message);
        // Move events come from the library's move watcher, a thread of its own: not counted here.
        if ((msg.stageID != first && msg.stageID != second) || msg.msgID >= stg::c_msgMoveStarted)
            return;
        reads.push_back(std::async(std::launch::async, [first, second] {
            for (std::uint32_t id : {first, second}) {
                std::map<int, Position> positions;
                stg::GetPosition(id, positions, stg::eAllAxes);
            }
        }));
        if (reads.back().wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            blocked.push_back(msg.msgID);
    });

    const Position calibration(0.5, utl::c_mum);
    EXPECT_EQ(stg::SetProperty(first, 2, stg::c_propCalibration, calibration), stg::c_OK);
    EXPECT_EQ(stg::SetAxisLimits(second, 1, lower, upper), stg::c_OK);
    // Nested under the stage lock: limits written by the default slot, and forgotten on entering
    // limit-setting mode.
    EXPECT_EQ(stg::CStageManager::StageManager().GetLowLevel(first)->SetAxisLimits(2, -5, 5), stg::c_OK);
    EXPECT_EQ(stg::SetProperty(second, 2, stg::c_propModeSetLimit, true), stg::c_OK);
    EXPECT_EQ(stg::EnableUserControl(first, false), stg::c_OK);
    // Fired by the driver inside a move, which the medium level checks and starts under one hold
    // of the stage lock (no precision lock around it).
    stg::EnablePrecision(first, false);
    stage.Driver().Config().onCall = [&](ESlot slot) {
        if (slot == ESlot::MoveToPos)
            stg::WriteAxisProperty(stage.Driver(), 2, stg::c_propCalibration, calibration);
    };
    EXPECT_EQ(stg::MoveTo(first, 1, Position(10, utl::c_mum), false), stg::c_OK);
    utl::UnsubscribeEvent(token);
    for (auto& read : reads)
        read.get();

    EXPECT_EQ(reads.size(), 8u);
    EXPECT_THAT(blocked, IsEmpty());
}

} // namespace
} // namespace stgtest
