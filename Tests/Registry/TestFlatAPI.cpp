// The flat API frame: missing-stage answers, CheckError, typed properties and stage events, all
// through a stage registered from the test driver module.

#include <chrono>
#include <functional>
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

TEST(FlatAPI, MissingStageAnswers)
{
    CModuleStage registeredOnly;
    ASSERT_TRUE(stg::CStageManager::StageManager().RegisterStage(registeredOnly.info));
    for (const std::uint32_t stageID : {UniqueStageID(), registeredOnly.id}) {
        SCOPED_TRACE(stageID);
        std::vector<int> axes{7};
        std::vector<stg::EAxisType> types{stg::eAxisZ};
        const Position sentinel(42, utl::c_m);
        Position pos = sentinel, low = sentinel, high = sentinel;
        std::map<int, Position> byAxis{{1, sentinel}};
        std::map<stg::EAxisType, Position> byType{{stg::eAxisX, sentinel}};
        std::map<int, double> speedsByAxis{{1, 42}};
        std::map<stg::EAxisType, double> speedsByType{{stg::eAxisX, 42}};
        double speed = 42;
        Vec2 vec2({42, 42}, utl::c_m), vec2b = vec2;
        geo::CdVec2 speeds2(42, 42);
        const auto x = stg::eAxisX;
        const struct {
            const char* what;
            std::function<long long()> call;
            long long missing;
        } cases[] = {
            {"CheckConnection", [&] { return stg::CheckConnection(stageID); }, false},
            {"GetAxisCount", [&] { return stg::GetAxisCount(stageID); }, 0},
            {"GetAxisType", [&] { return stg::GetAxisType(stageID, 1); }, -1},
            {"GetAxisFromType", [&] { return stg::GetAxisFromType(stageID, x); }, -1},
            {"GetEnabledAxes", [&] { return stg::GetEnabledAxes(stageID, axes); }, c_missing},
            {"GetEnabledAxes(types)", [&] { return stg::GetEnabledAxes(stageID, types); }, c_missing},
            {"AreLimitsDefined", [&] { return stg::AreLimitsDefined(stageID); }, false},
            {"EnablePrecision", [&] { return stg::EnablePrecision(stageID, true); }, c_missing},
            {"IsPrecisionEnabled", [&] { return stg::IsPrecisionEnabled(stageID); }, false},
            {"EnableUserControl", [&] { return stg::EnableUserControl(stageID, false); }, c_missing},
            {"IsUserControlEnabled", [&] { return stg::IsUserControlEnabled(stageID); }, false},
            {"StopMoving", [&] { return stg::StopMoving(stageID); }, c_missing},
            {"GetAxisList", [&] { return static_cast<long long>(stg::GetAxisList(stageID).size()); }, 0},
            {"GetAxisTypeList", [&] { return static_cast<long long>(stg::GetAxisTypeList(stageID).size()); }, 0},
            {"IsAxisEnabled", [&] { return stg::IsAxisEnabled(stageID, 1) || stg::IsAxisEnabled(stageID, x); }, false},
            {"EnableAxis", [&] { return stg::EnableAxis(stageID, 1, true); }, c_missing},
            {"EnableAxis(type)", [&] { return stg::EnableAxis(stageID, x, true); }, c_missing},
            // Maps and lists, both key forms.
            {"GetPosition(map)",
             [&] {
                 return Both(stg::GetPosition(stageID, byAxis, stg::eAllAxes),
                             stg::GetPosition(stageID, byType, stg::eAllAxes));
             },
             c_missing},
            {"MoveTo(map)",
             [&] { return Both(stg::MoveTo(stageID, byAxis, true), stg::MoveTo(stageID, byType, false)); }, c_missing},
            {"MoveToPos(map)", [&] { return Both(stg::MoveToPos(stageID, byAxis), stg::MoveToPos(stageID, byType)); },
             c_missing},
            {"SetPosition(map)",
             [&] { return Both(stg::SetPosition(stageID, byAxis), stg::SetPosition(stageID, byType)); }, c_missing},
            {"MoveFree(map)",
             [&] { return Both(stg::MoveFree(stageID, speedsByAxis), stg::MoveFree(stageID, speedsByType)); },
             c_missing},
            {"IsMoving(list)", [&] { return stg::IsMoving(stageID, axes) || stg::IsMoving(stageID, types); }, false},
            {"WaitForStop(list)",
             [&] { return Both(stg::WaitForStop(stageID, axes, 0), stg::WaitForStop(stageID, types, 0)); }, c_missing},
            {"UndefineLimits(list)",
             [&] { return Both(stg::UndefineLimits(stageID, axes), stg::UndefineLimits(stageID, types)); }, c_missing},
            {"GetMaxima",
             [&] {
                 return Both(stg::GetMaxima(stageID, byAxis, stg::eAllAxes),
                             stg::GetMaxima(stageID, byType, stg::eAllAxes));
             },
             c_missing},
            {"GetMinima",
             [&] {
                 return Both(stg::GetMinima(stageID, byAxis, stg::eAllAxes),
                             stg::GetMinima(stageID, byType, stg::eAllAxes));
             },
             c_missing},
            {"SetMaxima", [&] { return Both(stg::SetMaxima(stageID, byAxis), stg::SetMaxima(stageID, byType)); },
             c_missing},
            {"SetMinima", [&] { return Both(stg::SetMinima(stageID, byAxis), stg::SetMinima(stageID, byType)); },
             c_missing},
            {"GetCalibration(map)",
             [&] {
                 return Both(stg::GetCalibration(stageID, byAxis, stg::eAllAxes),
                             stg::GetCalibration(stageID, byType, stg::eAllAxes));
             },
             c_missing},
            {"SetCalibration(map)",
             [&] { return Both(stg::SetCalibration(stageID, byAxis), stg::SetCalibration(stageID, byType)); },
             c_missing},
            {"GetSpeeds",
             [&] {
                 return Both(stg::GetSpeeds(stageID, speedsByAxis, stg::eAllAxes),
                             stg::GetSpeeds(stageID, speedsByType, stg::eAllAxes));
             },
             c_missing},
            {"SetSpeeds",
             [&] { return Both(stg::SetSpeeds(stageID, speedsByAxis), stg::SetSpeeds(stageID, speedsByType)); },
             c_missing},
            // Single axes, both key forms.
            {"AreLimitsDefined(axis)",
             [&] { return stg::AreLimitsDefined(stageID, 1) || stg::AreLimitsDefined(stageID, x); }, false},
            {"UndefineLimits(axis)",
             [&] { return Both(stg::UndefineLimits(stageID, 1), stg::UndefineLimits(stageID, x)); }, c_missing},
            {"GetPosition(axis)",
             [&] { return Both(stg::GetPosition(stageID, 1, pos), stg::GetPosition(stageID, x, pos)); }, c_missing},
            {"MoveTo(axis)",
             [&] { return Both(stg::MoveTo(stageID, 1, pos, true), stg::MoveTo(stageID, x, pos, false)); }, c_missing},
            {"MoveFree(axis)", [&] { return Both(stg::MoveFree(stageID, 1, 1.0), stg::MoveFree(stageID, x, 1.0)); },
             c_missing},
            {"IsMoving(axis)", [&] { return stg::IsMoving(stageID, 1) || stg::IsMoving(stageID, x); }, false},
            {"WaitForStop(axis)",
             [&] { return Both(stg::WaitForStop(stageID, 1, 0), stg::WaitForStop(stageID, x, 0)); }, c_missing},
            {"GetAxisLimits",
             [&] { return Both(stg::GetAxisLimits(stageID, 1, low, high), stg::GetAxisLimits(stageID, x, low, high)); },
             c_missing},
            {"SetAxisLimits",
             [&] { return Both(stg::SetAxisLimits(stageID, 1, low, high), stg::SetAxisLimits(stageID, x, low, high)); },
             c_missing},
            {"GetCalibration(axis)",
             [&] { return Both(stg::GetCalibration(stageID, 1, pos), stg::GetCalibration(stageID, x, pos)); },
             c_missing},
            {"SetCalibration(axis)",
             [&] { return Both(stg::SetCalibration(stageID, 1, pos), stg::SetCalibration(stageID, x, pos)); },
             c_missing},
            {"GetAxisSpeed",
             [&] { return Both(stg::GetAxisSpeed(stageID, 1, speed), stg::GetAxisSpeed(stageID, x, speed)); },
             c_missing},
            {"SetAxisSpeed",
             [&] { return Both(stg::SetAxisSpeed(stageID, 1, 1.0), stg::SetAxisSpeed(stageID, x, 1.0)); }, c_missing},
            // Vectors.
            {"MoveToXY", [&] { return Both(stg::MoveToXY(stageID, vec2, true), stg::MoveToXYZ(stageID, {}, false)); },
             c_missing},
            {"GetPositionXY", [&] { return stg::GetPositionXY(stageID, vec2); }, c_missing},
            {"SetAxisLimitsXY", [&] { return stg::SetAxisLimitsXY(stageID, vec2, vec2); }, c_missing},
            {"GetAxisLimitsXY", [&] { return stg::GetAxisLimitsXY(stageID, vec2, vec2b); }, c_missing},
            {"SetCalibrationXY", [&] { return stg::SetCalibrationXY(stageID, vec2); }, c_missing},
            {"GetCalibrationXY", [&] { return stg::GetCalibrationXY(stageID, vec2); }, c_missing},
            {"IsMovingXY", [&] { return stg::IsMovingXY(stageID) || stg::IsMovingXYZ(stageID); }, false},
            {"WaitForStopXY", [&] { return Both(stg::WaitForStopXY(stageID, 0), stg::WaitForStopXYZ(stageID, 0)); },
             c_missing},
            {"MoveFreeXY", [&] { return stg::MoveFreeXY(stageID, speeds2); }, c_missing},
            {"GetSpeedXY", [&] { return stg::GetSpeedXY(stageID, speeds2); }, c_missing},
            {"SetSpeedXY", [&] { return stg::SetSpeedXY(stageID, speeds2); }, c_missing},
        };
        app::ClearLastError();
        for (const auto& c : cases)
            EXPECT_EQ(c.call(), c.missing) << c.what;
        // Outputs stay as they were.
        EXPECT_EQ(axes, std::vector<int>{7});
        EXPECT_EQ(types, std::vector<stg::EAxisType>{stg::eAxisZ});
        EXPECT_EQ(byAxis.at(1), sentinel);
        EXPECT_EQ(byType.at(stg::eAxisX), sentinel);
        EXPECT_EQ(speedsByAxis.at(1), 42);
        EXPECT_EQ(speedsByType.at(stg::eAxisX), 42);
        EXPECT_EQ(pos, sentinel);
        EXPECT_EQ(low, sentinel);
        EXPECT_EQ(high, sentinel);
        EXPECT_EQ(speed, 42);
        EXPECT_EQ(vec2.GetValue(), geo::CdVec2(42, 42));
        EXPECT_EQ(vec2b.GetValue(), geo::CdVec2(42, 42));
        EXPECT_EQ(speeds2, geo::CdVec2(42, 42));
        EXPECT_FALSE(app::GetLastError()); // nothing is recorded by the functions themselves
    }
}

TEST(FlatAPI, CheckErrorRecordsTheThreadsLastError)
{
    app::ClearLastError();
    EXPECT_TRUE(stg::CheckError(stg::c_OK));
    EXPECT_FALSE(app::GetLastError());
    for (int code : {stg::c_NoSuchStage, 0, -5}) {
        EXPECT_FALSE(stg::CheckError(code));
        const auto error = app::GetLastError();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->GetCode(), code);
        EXPECT_EQ(error->GetGroup(), 9);
        EXPECT_EQ(error->GetInfo().GetFunction(), "stg::CheckError");
    }
    EXPECT_TRUE(stg::CheckError(stg::c_OK));
    EXPECT_EQ(app::GetLastError()->GetCode(), -5); // success leaves the last error alone
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

    const std::wstring label = L"Tisch \u00b5-Achse";
    EXPECT_EQ(stg::SetProperty(id, 4711, label), stg::c_OK);
    std::wstring text;
    EXPECT_EQ(stg::GetProperty(id, 4711, text), stg::c_OK);
    EXPECT_EQ(text, label);

    EXPECT_EQ(stg::SetProperty(id, 1, stg::c_propOffsetPosition, std::int64_t{-9'000'000'000}), stg::c_OK);
    std::int64_t offset = 0;
    EXPECT_EQ(stg::GetProperty(id, stg::eAxisX, stg::c_propOffsetPosition, offset), stg::c_OK);
    EXPECT_EQ(offset, -9'000'000'000);

    // Asked as another type, a value is refused and the caller's value stays.
    int asInt = 5;
    bool asBool = true;
    EXPECT_EQ(stg::GetProperty(id, 1, stg::c_propOffsetPosition, asInt), stg::c_PropertyNotAccessible);
    EXPECT_EQ(stg::GetProperty(id, 4711, asBool), stg::c_PropertyNotAccessible);
    EXPECT_EQ(asInt, 5);
    EXPECT_TRUE(asBool);

    // What is missing answers as the vessels say.
    double speed = -1.0;
    EXPECT_EQ(stg::GetProperty(id, 4712, speed), stg::c_GeneralFailure);
    EXPECT_EQ(stg::GetProperty(id, stg::eAxisZ, stg::c_propSpeed, speed), stg::c_NoSuchAxis);
    EXPECT_EQ(stg::GetProperty(id, 1, 4713, speed), stg::c_PropertyNotAccessible);
    EXPECT_EQ(speed, -1.0);
}

TEST_F(TypedProperties, SubscribersHearTheStagesEvents)
{
    CEventLog log(stage.id);
    const utl::TUnitValue<double> calibration(0.5, utl::c_mum);
    EXPECT_EQ(stg::SetProperty(stage.id, 2, stg::c_propCalibration, calibration), stg::c_OK);
    EXPECT_EQ(stg::EnableUserControl(stage.id, false), stg::c_OK);
    EXPECT_EQ(stg::SetProperty(stage.id, stg::eAxisX, stg::c_propModeSetLimit, true), stg::c_OK);
    EXPECT_THAT(log.Entries(), ElementsAre("15@2", "51@-1", "10@1"));

    // A message built by type finds the axis on an active stage only.
    EXPECT_EQ(stg::tSTAGEMSG(stg::c_msgLimitsChanged, stage.id, stg::eAxisY).axis, 2);
    EXPECT_EQ(stg::tSTAGEMSG(stg::c_msgLimitsChanged, UniqueStageID(), stg::eAxisY).GetAxisType(), stg::eAxisNone);
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
        if (msg.stageID != first && msg.stageID != second)
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
