// The Zaber driver loaded from its module, under the medium level and the stage access, against
// the emulator on a real pseudo-terminal.

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>
#include <platform/Module.h>

#include "CZaberEmulator.h"
#include "StageTestSupport.h"
#include "ZaberDefs.h"

namespace zabertest {
namespace {

using namespace zaber;
using stg::c_OK;
using TickMap = stg::CLowLevelStage::TickMap;

constexpr int c_x = 1, c_y = 2, c_z = 3;
constexpr int c_replyTimeoutMs = 500;
constexpr int c_boundMs = 10'000; // every wait of a test ends by then

utl::TUnitValue<double> Um(double value) { return utl::TUnitValue<double>(value, utl::c_mum); }

// Device 1: an XY controller that sends alerts; device 2: a focus drive that does not (polled).
// Simulated time runs 50 times as fast as real time.
class ZaberDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/plinth-zaber-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        zaberemu::tEmulatorOptions options;
        options.devices = {zaberemu::tEmulatedDevice{2, true}, zaberemu::tEmulatedDevice{1, false}};
        options.timeScale = 50.0;
        options.linkPath = m_dir + "/zaber";
        emu = std::make_unique<zaberemu::CZaberEmulator>(options);
        ASSERT_TRUE(emu->Start()) << emu->Error();

        const auto create =
            reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
        ASSERT_NE(create, nullptr) << plat::LastModuleError();
        stage = create(m_id);
        ASSERT_NE(stage, nullptr);
        stg::WriteStageProperty(*stage, c_propZaberPort,
                                std::wstring(options.linkPath.begin(), options.linkPath.end()));
        stg::WriteStageProperty(*stage, c_propZaberReplyTimeout, std::int32_t{c_replyTimeoutMs});
        ASSERT_EQ(stage->Init(), c_OK) << Message();
        medium = std::make_unique<stg::CMediumLevelStage>(*stage);
        access = std::make_unique<stg::CStageAccess>(*medium);
    }
    void TearDown() override
    {
        access.reset();
        medium.reset();
        delete stage;
        cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, m_id);
        emu.reset();
        rmdir(m_dir.c_str());
    }

    std::string Message() const
    {
        std::wstring text;
        stg::ReadStageProperty(*stage, c_propDriverMessage, text);
        return std::string(text.begin(), text.end());
    }
    TickMap Ticks()
    {
        TickMap positions;
        EXPECT_EQ(stage->GetPosition(positions, stg::eAllAxes), c_OK) << Message();
        return positions;
    }
    void InitRanges() { ASSERT_EQ(medium->InitRanges({c_x, c_y, c_z}), c_OK) << Message(); }

    const std::uint32_t m_id = stgtest::UniqueStageID();
    std::string m_dir;
    std::unique_ptr<zaberemu::CZaberEmulator> emu;
    plat::CModule module{PLINTH_ZABER_MODULE}; // released after the stage
    stg::CLowLevelStage* stage = nullptr;
    std::unique_ptr<stg::CMediumLevelStage> medium;
    std::unique_ptr<stg::CStageAccess> access;
};

TEST_F(ZaberDriver, StopsFaultsAndSilenceEndEveryCall)
{
    InitRanges();
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}}), c_OK);

    // A stop from another thread ends a blocking move early.
    const int before = emu->CommandsReceived(1);
    auto move = std::async(std::launch::async, [&] { return access->SetPosition({{c_x, Um(90'000.0)}}); });
    ASSERT_TRUE(emu->WaitForCommands(1, before + 1, c_boundMs)); // the move has reached the device
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
    ASSERT_EQ(move.wait_for(std::chrono::milliseconds(c_boundMs)), std::future_status::ready);
    EXPECT_EQ(move.get(), stg::c_Stopped);
    EXPECT_FALSE(stage->IsMoving({c_x}));
    EXPECT_LT(Ticks()[c_x], 900'000);

    // A stall in the middle of a move is a device fault with its flag in words; it is cleared,
    // so the next move runs.
    emu->StallNextMove(1, 2);
    EXPECT_EQ(access->SetPosition({{c_y, Um(50'000.0)}}), c_DeviceFault);
    EXPECT_NE(Message().find("FS"), std::string::npos) << Message();
    EXPECT_EQ(access->SetPosition({{c_y, Um(100.0)}}), c_OK) << Message();

    // Silence: a time-out within the reply time-out, nothing hangs; then it answers again.
    emu->Silence(true);
    const auto start = std::chrono::steady_clock::now();
    TickMap x{{c_x, 0}};
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_EQ(stage->MoveToPos({{c_x, 5}}), stg::c_Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c_boundMs));
    emu->Silence(false);

    // A late reply ("0" to the speed) is not taken for the next request; garbled and split
    // replies are read, a reply with a bad checksum is not.
    emu->DelayNextReply(c_replyTimeoutMs + 100); // comes before the next request times out
    EXPECT_EQ(stage->SetSpeeds({{c_y, 2000.0}}), stg::c_Timeout);
    emu->GarbleNextReply();
    TickMap y{{c_y, 0}};
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), c_OK) << Message();
    EXPECT_EQ(y[c_y], 1000);
    emu->CorruptNextChecksum();
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), c_OK);
}

TEST_F(ZaberDriver, SurvivesTheDeviceVanishingMidMove)
{
    InitRanges();
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}}), c_OK);
    ASSERT_EQ(stage->MoveToPos({{c_x, 500'000}}), c_OK);
    emu->Vanish();
    EXPECT_FALSE(stage->CheckConnection());
    EXPECT_NE(stage->WaitForStop({c_x}, c_boundMs), c_OK);

    ASSERT_TRUE(emu->Reappear()) << emu->Error();
    ASSERT_EQ(stage->Init(), c_OK) << Message(); // re-activation opens the port again
    EXPECT_TRUE(stage->CheckConnection());
    EXPECT_EQ(stage->SetPosition({{c_x, 1234}}), c_OK) << Message();
    EXPECT_EQ(Ticks()[c_x], 1234);
}

} // namespace
} // namespace zabertest
