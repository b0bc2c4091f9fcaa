// The stage manager through a real driver module: life cycle, failures of modules and drivers,
// and what the library sets up at load.

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>
#include <trellis/Extensions.h>

#include "RegistryTestSupport.h"

namespace stgtest {

plat::ModuleHandle TestStageModule()
{
    static plat::CModule module(PLINTH_TESTSTAGE_MODULE);
    return module.Get();
}

CModuleStage::CModuleStage(const tTestStageConfig& config) : id(UniqueStageID())
{
    Configure(&config);
    info.module = TestStageModule();
    info.stageID = id;
}

CModuleStage::~CModuleStage()
{
    stg::CStageManager::StageManager().UnregisterStage(info);
    cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, id);
}

void CModuleStage::Configure(const tTestStageConfig* config)
{
    reinterpret_cast<ConfigureTestStageFn>(plat::FindExport(TestStageModule(), c_configureExport))(config);
}

int CModuleStage::Created()
{
    return reinterpret_cast<TestStagesCreatedFn>(plat::FindExport(TestStageModule(), c_createdExport))();
}

bool CModuleStage::Bring()
{
    auto& manager = stg::CStageManager::StageManager();
    return manager.RegisterStage(info) && manager.ActivateStage(info);
}

CTestStage& CModuleStage::Driver() const
{
    return *static_cast<CTestStage*>(stg::CStageManager::StageManager().GetLowLevel(id));
}

namespace {

using stg::CStageManager;
using ::testing::Contains;
using ::testing::HasSubstr;

double AxisSpeed(std::uint32_t stageID, int axis)
{
    double speed = -1.0;
    stg::GetProperty(stageID, axis, stg::c_propSpeed, speed);
    return speed;
}

TEST(StageManager, LifeCycleThroughADriverModule)
{
    ASSERT_NE(TestStageModule(), nullptr) << plat::LastModuleError();
    CStageManager& manager = CStageManager::StageManager();
    CModuleStage stage;

    EXPECT_TRUE(manager.RegisterStage(stage.info));
    stg::CLowLevelStage* low = manager.GetLowLevel(stage.id);
    ASSERT_NE(low, nullptr);
    EXPECT_FALSE(manager.IsActiveStage(stage.id));
    EXPECT_EQ(low->GetAxisCount(), 0u); // not initialised before activation
    // A second registration of the ID keeps the stage it has.
    const int created = CModuleStage::Created();
    EXPECT_FALSE(manager.RegisterStage(stage.info));
    EXPECT_EQ(CModuleStage::Created(), created);
    EXPECT_EQ(manager.GetLowLevel(stage.id), low);

    EXPECT_TRUE(manager.ActivateStage(stage.info));
    EXPECT_TRUE(manager.IsActiveStage(stage.id));
    EXPECT_EQ(stg::GetAxisCount(stage.id), 2);

    EXPECT_TRUE(manager.DeactivateStage(stage.info));
    EXPECT_FALSE(manager.DeactivateStage(stage.info));
    EXPECT_EQ(manager.GetMediumLevel(stage.id), nullptr);
    EXPECT_EQ(manager.GetLowLevel(stage.id), low);
    EXPECT_TRUE(manager.ActivateStage(stage.info));

    // ReInitialize: a new driver object that takes over the settings.
    ASSERT_EQ(stg::SetProperty(stage.id, 1, stg::c_propSpeed, 3.25), stg::c_OK);
    EXPECT_TRUE(manager.ReInitialize(stage.info));
    EXPECT_EQ(CModuleStage::Created(), created + 1);
    EXPECT_DOUBLE_EQ(AxisSpeed(stage.id, 1), 3.25);

    // Reset: a new driver object from the driver's defaults.
    EXPECT_TRUE(manager.Reset(stage.info));
    EXPECT_EQ(CModuleStage::Created(), created + 2);
    EXPECT_DOUBLE_EQ(AxisSpeed(stage.id, 1), 7.0);

    // Unregistration of an active stage deactivates it, and Exit stores the positions.
    EXPECT_TRUE(manager.UnregisterStage(stage.info));
    EXPECT_EQ(manager.GetLowLevel(stage.id), nullptr);
    mem::CBin axes;
    ASSERT_TRUE(cfg::GetGlobalPropSet(stg::c_cfgStageGroup, stage.id)->GetProperty(stg::c_propAxes, axes));
    mem::PropSetVector sets;
    axes.Restore(sets);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_TRUE(sets[0]->PropertyExists(stg::c_propLastPosition));

    const stg::tStageInfo never{TestStageModule(), UniqueStageID()};
    EXPECT_TRUE(manager.UnregisterStage(never));
    EXPECT_FALSE(manager.ActivateStage(never));

    // What the library sets up at load: the manager's own settings and its extension name.
    EXPECT_EQ(cfg::GetGlobalPropSet(stg::c_cfgStageGroup, stg::c_cfgManagerSetID), manager.GetPropSet());
    EXPECT_THAT(appExtensions(), Contains("Plinth"));
}

TEST(StageManager, AFailedRegistrationSaysWhy)
{
    CStageManager& manager = CStageManager::StageManager();
    plat::CModule empty(PLINTH_EMPTY_MODULE);
    ASSERT_TRUE(empty);
    const stg::tStageInfo noFactory{empty.Get(), UniqueStageID()};
    EXPECT_FALSE(manager.RegisterStage(noFactory));
    EXPECT_THAT(CStageManager::GetRegisterFailure(), HasSubstr("exports no \"CreateStage\""));
    EXPECT_EQ(manager.GetLowLevel(noFactory.stageID), nullptr);

    tTestStageConfig throwing = FullDriver({XAxis(1)});
    throwing.constructorThrows = true;
    CModuleStage::Configure(&throwing);
    const stg::tStageInfo info{TestStageModule(), UniqueStageID()};
    EXPECT_FALSE(manager.RegisterStage(info));
    EXPECT_THAT(CStageManager::GetRegisterFailure(), HasSubstr("the test driver was told to fail"));
    EXPECT_EQ(manager.GetLowLevel(info.stageID), nullptr);

    CModuleStage stage; // configures a working driver again
    ASSERT_TRUE(manager.RegisterStage(stage.info));
    EXPECT_EQ(CStageManager::GetRegisterFailure(), "");
    EXPECT_FALSE(manager.RegisterStage(stage.info));
    EXPECT_THAT(CStageManager::GetRegisterFailure(), HasSubstr("registered already"));
}

// Retiring a stage while it is in use. A call that found the stage finishes on it, calls that
// start afterwards answer c_NoSuchStage, and the objects go once the call has returned: when
// another thread's call is held up in a subscriber (it holds the stage but no stage lock, so
// only the manager's wait holds the retirement back: given 100 ms, it must not end), and when a
// subscriber unregisters the stage from inside a call on it. Every wait is bounded.
TEST(StageManager, RetiringAStageWaitsForTheCallsOnIt)
{
    using namespace std::chrono_literals;
    using Position = utl::TUnitValue<double>;
    CStageManager& manager = CStageManager::StageManager();
    const std::map<int, Position> calibrations{{1, Position(0.5, utl::c_mum)}, {2, Position(0.25, utl::c_mum)}};

    std::promise<void> entered, open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<bool> armed{true};
    CModuleStage busy;
    ASSERT_TRUE(busy.Bring());
    const auto blocker = utl::SubscribeEvent(stg::GetStageEventID(), [&](const boost::any& message) {
        if (boost::any_cast<const stg::tSTAGEMSG&>(message).stageID == busy.id && armed.exchange(false)) {
            entered.set_value();
            opened.wait_for(20s);
        }
    });
    auto call = std::async(std::launch::async, [&] { return stg::SetCalibration(busy.id, calibrations); });
    ASSERT_EQ(entered.get_future().wait_for(20s), std::future_status::ready);
    auto unregister = std::async(std::launch::async, [&] { return manager.UnregisterStage(busy.info); });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (manager.IsActiveStage(busy.id) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(stg::StopMoving(busy.id), stg::c_NoSuchStage);
    EXPECT_EQ(stg::GetAxisCount(busy.id), 0);
    EXPECT_EQ(unregister.wait_for(100ms), std::future_status::timeout); // waits for the call
    open.set_value();
    ASSERT_EQ(call.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(call.get(), stg::c_OK);
    ASSERT_EQ(unregister.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(unregister.get());
    utl::UnsubscribeEvent(blocker);
    EXPECT_EQ(manager.GetLowLevel(busy.id), nullptr);

    CModuleStage heard;
    ASSERT_TRUE(heard.Bring());
    const auto token = utl::SubscribeEvent(stg::GetStageEventID(), [&](const boost::any& message) {
        if (boost::any_cast<const stg::tSTAGEMSG&>(message).stageID == heard.id)
            manager.UnregisterStage(heard.info);
    });
    EXPECT_EQ(stg::SetCalibration(heard.id, calibrations), stg::c_OK); // the second axis on the held stage
    utl::UnsubscribeEvent(token);
    EXPECT_EQ(manager.GetLowLevel(heard.id), nullptr);
    EXPECT_EQ(stg::SetCalibration(heard.id, calibrations), stg::c_NoSuchStage);
}

} // namespace
} // namespace stgtest
