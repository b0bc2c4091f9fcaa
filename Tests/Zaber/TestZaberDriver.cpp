// The Zaber driver loaded from its module, under the medium level and the stage access, against
// the emulator on a real pseudo-terminal.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

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
constexpr int c_replyTimeoutMs = 1000; // generous: the tests share the machine with busy builds
constexpr int c_boundMs = 10'000;      // every wait of a test ends by then

utl::TUnitValue<double> Um(double value) { return utl::TUnitValue<double>(value, utl::c_mum); }

// By default the microscope chain: device 1 an X-MCB2 with an X-ASR stage (X 0.15625 um per
// microstep, 100 mm) that sends alerts, device 2 an X-VSR20A focus drive that does not (polled).
// Simulated time runs 50 times as fast as real time.
class ZaberDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/plinth-zaber-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void Open(std::vector<zaberemu::tEmulatedDevice> devices, const std::wstring& map = L"")
    {
        zaberemu::tEmulatorOptions options;
        options.devices = std::move(devices);
        options.timeScale = 50.0;
        options.linkPath = m_dir + "/zaber";
        emu = std::make_unique<zaberemu::CZaberEmulator>(options);
        ASSERT_TRUE(emu->Start()) << emu->Error();
        stored = emu->StoredSettings();

        const auto create =
            reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
        ASSERT_NE(create, nullptr) << plat::LastModuleError();
        stage = create(m_id);
        ASSERT_NE(stage, nullptr);
        stg::WriteStageProperty(*stage, c_propZaberPort,
                                std::wstring(options.linkPath.begin(), options.linkPath.end()));
        stg::WriteStageProperty(*stage, c_propZaberReplyTimeout, std::int32_t{c_replyTimeoutMs});
        stg::WriteStageProperty(*stage, c_propZaberAxisMap, map);
        medium = std::make_unique<stg::CMediumLevelStage>(*stage);
        access = std::make_unique<stg::CStageAccess>(*medium);
    }
    void OpenMicroscope()
    {
        Open({zaberemu::Device(zaberemu::c_xMCB2, {zaberemu::c_asr100B, zaberemu::c_asr120B}),
              zaberemu::Device(zaberemu::c_xVSR20A, {}, false)});
        ASSERT_EQ(stage->Init(), c_OK) << Message();
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
    std::wstring Source(int axis) const
    {
        std::wstring text;
        stg::ReadAxisProperty(*stage, axis, c_propZaberCalibrationSource, text);
        return text;
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
    std::string stored; // the devices' stored settings before activation
    std::unique_ptr<zaberemu::CZaberEmulator> emu;
    plat::CModule module{PLINTH_ZABER_MODULE}; // released after the stage
    stg::CLowLevelStage* stage = nullptr;
    std::unique_ptr<stg::CMediumLevelStage> medium;
    std::unique_ptr<stg::CStageAccess> access;
};

TEST_F(ZaberDriver, StopsFaultsAndSilenceEndEveryCall)
{
    OpenMicroscope();
    InitRanges();
    // Z homed alone first, X and Y only once it had finished.
    EXPECT_EQ(emu->Homings(), (std::vector<std::string>{"2.1", "1.1", "1.2+"}));
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}}), c_OK);

    // A stop from another thread ends a blocking move early.
    const int before = emu->CommandsReceived(1);
    auto move = std::async(std::launch::async, [&] { return access->SetPosition({{c_x, Um(90'000.0)}}); });
    ASSERT_TRUE(emu->WaitForCommands(1, before + 2, c_boundMs)); // the move has reached the device
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
    ASSERT_EQ(move.wait_for(std::chrono::milliseconds(c_boundMs)), std::future_status::ready);
    EXPECT_EQ(move.get(), stg::c_Stopped);
    EXPECT_FALSE(stage->IsMoving({c_x}));
    EXPECT_LT(Ticks()[c_x], 576'000);

    // A stall in the middle of a move is a device fault with its flag in words; it is cleared,
    // so the next move runs. A move that ends short without any flag is a fault as well.
    emu->StallNextMove(1, 2);
    EXPECT_EQ(access->SetPosition({{c_y, Um(50'000.0)}}), c_DeviceFault);
    EXPECT_NE(Message().find("FS, stalled"), std::string::npos) << Message();
    emu->SlipNextMove(1, 2);
    EXPECT_EQ(access->SetPosition({{c_y, Um(100.0)}}), c_DeviceFault);
    EXPECT_NE(Message().find("not at its target 640"), std::string::npos) << Message();
    EXPECT_EQ(access->SetPosition({{c_y, Um(100.0)}}), c_OK) << Message();

    // Silence: a time-out within the reply time-out, nothing hangs; then it answers again.
    emu->Silence(true);
    const auto start = std::chrono::steady_clock::now();
    TickMap x{{c_x, 0}};
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_EQ(stage->MoveToPos({{c_x, 5}}), stg::c_Timeout);
    EXPECT_TRUE(stage->IsMoving({c_x})); // a failed poll is no proof of rest
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c_boundMs));
    emu->Silence(false);

    // A late reply ("0" to the speed) is not taken for the next request; garbled and split
    // replies are read, a reply with a bad checksum is not.
    emu->DelayNextReply(c_replyTimeoutMs + 100); // comes before the next request times out
    EXPECT_EQ(stage->SetSpeeds({{c_y, 2000.0}}), stg::c_Timeout);
    emu->GarbleNextReply();
    TickMap y{{c_y, 0}};
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), c_OK) << Message();
    EXPECT_EQ(y[c_y], 640);
    emu->CorruptNextChecksum();
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_EQ(stage->GetPosition(y, stg::eGivenAxes), c_OK);

    // A chain that ignores the stop keeps the stop no longer than a few seconds, and says so.
    auto run = std::async(std::launch::async, [&] { return access->SetPosition({{c_x, Um(80'000.0)}}); });
    ASSERT_TRUE(emu->WaitForCommands(1, emu->CommandsReceived(1) + 2, c_boundMs));
    emu->IgnoreStops(true);
    EXPECT_EQ(stage->StopMoving(), stg::c_Timeout);
    EXPECT_NE(Message().find("may still be moving"), std::string::npos) << Message();
    EXPECT_EQ(run.get(), stg::c_Stopped);
    emu->IgnoreStops(false);
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
}

TEST_F(ZaberDriver, StopReachesTheRangeSearchAndEveryDevice)
{
    OpenMicroscope();
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}}), c_OK); // homing X takes 4 s of real time
    auto search = std::async(std::launch::async, [&] { return medium->InitRanges({c_x}); });
    ASSERT_TRUE(emu->WaitForCommands(1, emu->CommandsReceived(1) + 1, c_boundMs));
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
    EXPECT_EQ(search.get(), stg::c_Stopped);

    // One stop for the chain: a silent device 1 delays no other, and hears it too.
    ASSERT_EQ(stage->SetSpeeds({{c_x, 93'750.0}}), c_OK);
    InitRanges();
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}, {c_z, 1000.0}}), c_OK);
    ASSERT_EQ(stage->MoveToPos({{c_x, 500'000}, {c_z, 200'000}}), c_OK) << Message();
    emu->Silence(true, 1);
    EXPECT_EQ(stage->StopMoving(), stg::c_Timeout);
    EXPECT_NE(Message().find("the device of X, Y did not answer it"), std::string::npos) << Message();
    emu->Silence(false, 1);
    EXPECT_FALSE(stage->IsMoving({c_x, c_z}));
}

TEST_F(ZaberDriver, DistancesSpeedsAndNumbersAreTheDevicesOwn)
{
    OpenMicroscope();
    EXPECT_EQ(Source(c_x), L"table");
    // Unhomed: no move, no free run, no position.
    EXPECT_EQ(stage->MoveFree({{c_x, 2000.0}}), stg::c_LimitsNotDefined);
    EXPECT_NE(Message().find("range search"), std::string::npos) << Message();
    EXPECT_EQ(emu->LastCommand(1), "warnings"); // refused before anything ran (move vel runs unhomed)
    EXPECT_EQ(stage->MoveToPos({{c_y, 100}}), stg::c_LimitsNotDefined);
    TickMap unhomed;
    EXPECT_EQ(stage->GetPosition(unhomed, stg::eAllAxes), stg::c_LimitsNotDefined);
    InitRanges();

    // 1 mm on an X-ASR is 6400 microsteps, without any calibration set.
    ASSERT_EQ(access->SetPosition({{c_x, utl::TUnitValue<double>(1.0, utl::c_mm)}}), c_OK) << Message();
    EXPECT_EQ(Ticks()[c_x], 6400);

    // Speeds beyond the device's range are refused before any integer conversion, also when the
    // axis's own range was widened; a free run runs at the speed asked for.
    ASSERT_EQ(stg::WriteAxisProperty(*stage, c_x, stg::c_propSpeedMax, 1e31), c_OK);
    ASSERT_EQ(stg::WriteAxisProperty(*stage, c_x, stg::c_propSpeedMin, 1e-9), c_OK);
    EXPECT_EQ(stage->SetSpeeds({{c_x, 1e30}}), stg::c_InvalidValue);
    EXPECT_EQ(stage->SetSpeeds({{c_x, 640'001.0}}), stg::c_InvalidValue);
    EXPECT_EQ(emu->LastCommand(1).find("maxspeed"), std::string::npos) << emu->LastCommand(1); // nothing sent
    EXPECT_EQ(stage->MoveFree({{c_x, 5e6}}), stg::c_InvalidValue);
    EXPECT_EQ(stage->MoveFree({{c_x, 0.01}}), stg::c_InvalidValue);
    ASSERT_EQ(stage->MoveFree({{c_x, -2000.0}}), c_OK) << Message();
    EXPECT_EQ(emu->LastCommand(1), "move vel -3277");
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();

    // Numbers out of range are device faults, not positions.
    TickMap x{{c_x, 0}};
    emu->ReplaceNextData("99999999999999999999999");
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), c_DeviceFault);
    emu->ReplaceNextData("640001");
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), c_DeviceFault);
    EXPECT_NE(Message().find("outside its travel"), std::string::npos) << Message();
    emu->ReplaceNextData("100000000");
    EXPECT_EQ(stage->Init(), c_DeviceFault);
    EXPECT_NE(Message().find("claims 100000000 axes"), std::string::npos) << Message();

    // A calibration the user sets wins over the table, also at the next activation.
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    ASSERT_EQ(access->SetCalibration({{c_x, Um(0.1)}}), c_OK);
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    EXPECT_EQ(Source(c_x), L"user");
    stg::CStageAccess::PosMap calibration;
    ASSERT_EQ(access->GetCalibration(calibration, stg::eAllAxes), c_OK);
    EXPECT_DOUBLE_EQ(calibration[c_x].GetValue(), 0.1);
    EXPECT_DOUBLE_EQ(calibration[c_y].GetValue(), 0.15625);
    EXPECT_DOUBLE_EQ(calibration[c_z].GetValue(), 0.09525);
}

TEST_F(ZaberDriver, SettingsAndStoredPositionSurviveTheDriver)
{
    OpenMicroscope();
    InitRanges();
    ASSERT_EQ(stage->SetPosition({{c_x, 1234}}), c_OK) << Message();
    ASSERT_EQ(stage->Exit(), c_OK) << Message();
    // Activation and unregistering leave every stored device setting as it was (alerts too).
    EXPECT_EQ(emu->StoredSettings(), stored);

    // A power-cycled controller: its axes refuse to move and to tell a position, and its
    // unhomed reading never replaces the stored last position.
    emu->PowerCycle(1);
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    EXPECT_EQ(stage->MoveToPos({{c_x, 100}}), stg::c_LimitsNotDefined);
    EXPECT_NE(stage->Exit(), c_OK);
    std::int64_t last = 0;
    ASSERT_EQ(stg::ReadAxisProperty(*stage, c_x, stg::c_propLastPosition, last), c_OK);
    EXPECT_EQ(last, 1234);
}

TEST_F(ZaberDriver, ChainsAsTheyReallyAre)
{
    // Firmware 6 names, and a device no table knows as Z, one without message IDs: no physical
    // move until calibrated, then moves as asked.
    auto devices = zaberemu::MicroscopeChain();
    devices.push_back(zaberemu::Device(zaberemu::c_unknownID));
    devices.back().messageIDs = false;
    for (auto& device : devices)
        device.firmware = 6;
    Open(devices, L"X=1.1 Y=1.2 Z=3.1");
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    EXPECT_NE(Message().find("59999"), std::string::npos) << Message();
    EXPECT_NE(Message().find("plinth calib Z="), std::string::npos) << Message();
    EXPECT_EQ(Source(c_z), L"none");
    InitRanges();
    EXPECT_EQ(access->SetPosition({{c_z, Um(10.0)}}), stg::c_InvalidValue);
    ASSERT_EQ(access->SetCalibration({{c_z, Um(0.5)}}), c_OK);
    ASSERT_EQ(access->SetPosition({{c_z, Um(10.0)}}), c_OK) << Message();
    EXPECT_EQ(Ticks()[c_z], 20);
    // Parked is not busy: the message says how to unpark. A stop is still a stop.
    emu->Park(3);
    EXPECT_EQ(access->SetPosition({{c_z, Um(5.0)}}), stg::c_GeneralFailure);
    EXPECT_NE(Message().find("unpark"), std::string::npos) << Message();
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
}

TEST_F(ZaberDriver, EmptyControllerAxesAreNoAxis)
{
    Open({zaberemu::Device(zaberemu::c_xMCB2, {zaberemu::c_asr100B, 0}), zaberemu::Device(zaberemu::c_xVSR20A)});
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    EXPECT_EQ(stage->GetAxisCount(), 2u); // X on the controller, Y the focus drive's: no Z
}

TEST_F(ZaberDriver, TwoDevicesAtOneAddressAreRefused)
{
    auto devices = zaberemu::MicroscopeChain();
    devices[1].address = 1;
    Open(devices);
    EXPECT_NE(stage->Init(), c_OK);
    EXPECT_NE(Message().find("two devices answer at address 1"), std::string::npos) << Message();
}

TEST_F(ZaberDriver, SurvivesTheDeviceVanishingMidMove)
{
    OpenMicroscope();
    InitRanges();
    ASSERT_EQ(stage->SetSpeeds({{c_x, 1000.0}}), c_OK);
    ASSERT_EQ(stage->MoveToPos({{c_x, 500'000}}), c_OK);
    emu->Vanish();
    EXPECT_FALSE(stage->CheckConnection());
    EXPECT_NE(stage->WaitForStop({c_x}, c_boundMs), c_OK);
    EXPECT_NE(Message().find("the port went away"), std::string::npos) << Message();

    ASSERT_TRUE(emu->Reappear()) << emu->Error();
    EXPECT_TRUE(stage->CheckConnection()); // the next call opens the port again
    EXPECT_EQ(stage->SetPosition({{c_x, 1234}}), c_OK) << Message();
    EXPECT_EQ(Ticks()[c_x], 1234);
}

TEST(ZaberEmulator, LinksOnlyWhereNothingIsAndRemovesOnlyItsOwn)
{
    char dir[] = "/tmp/plinth-zaber-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/port";
    const auto write = [&](const char* text) { std::ofstream(path) << text; };
    const auto read = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    zaberemu::tEmulatorOptions options;
    options.linkPath = path;
    write("precious");
    {
        zaberemu::CZaberEmulator emu(options);
        EXPECT_FALSE(emu.Start());
        EXPECT_NE(emu.Error().find("not made by this emulator"), std::string::npos) << emu.Error();
    }
    EXPECT_EQ(read(), "precious");
    ASSERT_EQ(unlink(path.c_str()), 0);
    {
        zaberemu::CZaberEmulator emu(options);
        ASSERT_TRUE(emu.Start()) << emu.Error();
        emu.Vanish();
        ASSERT_TRUE(emu.Reappear()) << emu.Error(); // its own link is replaced
        ASSERT_EQ(unlink(path.c_str()), 0);
        write("someone else's");
    }
    EXPECT_EQ(read(), "someone else's");
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace
} // namespace zabertest
