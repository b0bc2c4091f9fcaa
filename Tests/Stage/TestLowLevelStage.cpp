// The low-level stage: the stage lock, Exit, limits, ranges, user control and the stage events
// they fire.

#include <chrono>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "StageTestSupport.h"

namespace stgtest {
namespace {

using Limits = std::pair<std::int64_t, std::int64_t>;

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Entries = std::vector<std::string>;

tTestStageConfig TwoAxes() { return FullDriver({XAxis(1), YAxis(2)}); }

TEST(LowLevelStage, LockIsReleasedWhenTheDriverThrows)
{
    tTestStageConfig config = TwoAxes();
    config.faults[ESlot::MoveToPos] = {stg::c_OK, true};
    config.faults[ESlot::GetAxisProperty] = {stg::c_OK, true, 3};
    auto stage = MakeStage(config);
    stage->Init();
    EXPECT_THROW(stage->MoveToPos({{1, 10}}), CInjectedFault);
    mem::CBin value;
    stage->GetPropertyVessel(1, stg::c_propSpeed, value);
    stage->GetPropertyVessel(1, stg::c_propSpeed, value);
    EXPECT_THROW(stage->GetPropertyVessel(1, stg::c_propSpeed, value), CInjectedFault);

    // Another thread can take the stage lock: it was released on the way out.
    auto other = std::async(std::launch::async, [&] { return stage->SetPosition({{2, 3}}); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(other.get(), stg::c_OK);
}

class StageEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        stage = MakeStage(TwoAxes());
        stage->Init();
        log = std::make_unique<CEventLog>(stage->GetStageID());
    }
    TestStagePtr stage;
    std::unique_ptr<CEventLog> log;
};

TEST_F(StageEvents, LimitsSetFireOneEventPerLimit)
{
    const int one = 1;
    EXPECT_FALSE(stage->AreLimitsDefined(&one));
    EXPECT_EQ(stage->SetAxisLimits(1, -1000, 5000), stg::c_OK);
    EXPECT_TRUE(stage->AreLimitsDefined(&one));
    std::int64_t lower = 0, upper = 0;
    EXPECT_EQ(stage->GetAxisLimits(1, lower, upper), stg::c_OK);
    EXPECT_EQ(std::make_pair(lower, upper), Limits(-1000, 5000));
    EXPECT_THAT(log->Entries(), ElementsAre("10@1", "10@1"));

    // Limits of an unknown axis: refused, no event.
    log->Clear();
    EXPECT_EQ(stage->SetAxisLimits(9, 0, 1), stg::c_NoSuchAxis);
    // A pair the wrong way round, by one tick too, is refused and writes nothing.
    EXPECT_EQ(stage->SetAxisLimits(1, 2, 1), stg::c_InvalidValue);
    EXPECT_EQ(stage->WriteLimits(1, {{stg::c_propMinimum, 5001}}), stg::c_InvalidValue);
    EXPECT_THAT(log->Entries(), IsEmpty());
    EXPECT_EQ(stage->GetAxisLimits(5, lower, upper), stg::c_NoSuchAxis);

    // GetAxisLimits writes only what it read.
    lower = upper = 22;
    stage->SetPropertyVessel(2, stg::c_propMinimum, mem::CBin::Of<std::int64_t>(-3));
    EXPECT_EQ(stage->GetAxisLimits(2, lower, upper), stg::c_PropertyNotAccessible);
    EXPECT_EQ(std::make_pair(lower, upper), Limits(-3, 22));
}

TEST_F(StageEvents, InitRangesIsBracketedByEventsWhateverTheDriverDoes)
{
    stage->Config().onCall = log->CallNoter();
    stage->Config().hardwareRanges = {{1, {-70, 700}}, {2, {-50, 500}}};
    EXPECT_EQ(stage->InitRanges({1, 2}), stg::c_OK);
    // The driver writes the found limits through the public vessel; their events wait until the
    // stage lock is released, so they come after the driver's work and before the end events.
    EXPECT_THAT(log->Entries(), ElementsAre("60@1", "60@2", "call:24", "call:12", "call:8", "call:8", "call:12",
                                            "call:8", "call:8", "10@1", "10@1", "10@2", "10@2", "61@1", "61@2"));
    EXPECT_EQ(AxisProp<std::int64_t>(*stage, 2, stg::c_propMinimum), -50);

    log->Clear();
    stage->Config().implemented.erase(ESlot::InitRanges);
    EXPECT_EQ(stage->InitRanges({2}), stg::c_NotImplemented);
    EXPECT_THAT(log->Entries(), ElementsAre("60@2", "call:24", "61@2"));

    log->Clear();
    stage->Config().faults[ESlot::InitRanges] = {stg::c_OK, true};
    EXPECT_THROW(stage->InitRanges({1}), CInjectedFault);
    EXPECT_THAT(log->Entries(), ElementsAre("60@1", "call:24", "61@1"));

    log->Clear();
    stage->Config().faults.clear();
    EXPECT_EQ(stage->InitRanges({}), stg::c_NotImplemented);
    EXPECT_THAT(log->Entries(), ElementsAre("call:24"));
}

TEST(LowLevelStage, ConcurrentCallersAreSerialised)
{
    auto stage = MakeStage(TwoAxes());
    stage->Init();
    constexpr int c_rounds = 2000;
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < c_rounds; ++i) {
            stage->SetAxisLimits(1 + i % 2, -i, i);
            stage->SetPosition({{1, i}});
        }
    });
    auto reader = std::async(std::launch::async, [&] {
        int bad = 0;
        for (int i = 0; i < c_rounds; ++i) {
            std::int64_t lower = 0, upper = 0;
            if (stage->GetAxisLimits(1, lower, upper) == stg::c_OK && lower != -upper)
                ++bad;
            stg::CLowLevelStage::TickMap positions;
            stage->GetPosition(positions, stg::eAllAxes);
        }
        return bad;
    });
    writer.get();
    // A limit pair is written under one hold of the lock, so a reader never sees half of it.
    EXPECT_EQ(reader.get(), 0);
}

} // namespace
} // namespace stgtest
