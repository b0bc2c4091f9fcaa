// The ASI driver loaded from its module, under the medium level and the stage access, against the
// emulator on a real pseudo-terminal; and the plinth command driving it.

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cfg/GlobalPropSets.h>
#include <platform/Module.h>

#include "AsiDefs.h"
#include "CAsiEmulator.h"
#include "StageTestSupport.h"

namespace asitest {
namespace {

using namespace asi;
using stg::c_OK;
using TickMap = stg::CLowLevelStage::TickMap;

constexpr int c_x = 1, c_y = 2, c_z = 3;
constexpr int c_replyTimeoutMs = 1000; // generous: the machine may be loaded
constexpr int c_boundMs = 10'000;      // every wait of a test ends by then

utl::TUnitValue<double> Um(double value) { return utl::TUnitValue<double>(value, utl::c_mum); }

// An MS-2000 whose simulated time runs 20 times as fast as real time; a move beyond a firmware
// limit is refused (:N-4).
class AsiDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/plinth-asi-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        asiemu::tAsiEmulatorOptions options;
        options.timeScale = 20.0;
        options.rejectBeyondLimits = true;
        options.linkPath = m_dir + "/asi";
        emu = std::make_unique<asiemu::CAsiEmulator>(options);
        ASSERT_TRUE(emu->Start()) << emu->Error();

        const auto create =
            reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
        ASSERT_NE(create, nullptr) << plat::LastModuleError();
        stage = create(m_id);
        ASSERT_NE(stage, nullptr);
        stg::WriteStageProperty(*stage, c_propAsiPort, std::wstring(options.linkPath.begin(), options.linkPath.end()));
        stg::WriteStageProperty(*stage, c_propAsiReplyTimeout, std::int32_t{c_replyTimeoutMs});
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
    std::int64_t Ticks(int axis)
    {
        TickMap positions{{axis, 0}};
        EXPECT_EQ(stage->GetPosition(positions, stg::eGivenAxes), c_OK) << Message();
        return positions[axis];
    }
    // Waits until the emulator has received its next move command.
    void AwaitMove(int movesBefore)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_boundMs);
        while (emu->MovesReceived() <= movesBefore && std::chrono::steady_clock::now() < deadline)
            emu->WaitForCommands(emu->CommandsReceived() + 1, c_boundMs);
        ASSERT_GT(emu->MovesReceived(), movesBefore);
    }

    const std::uint32_t m_id = stgtest::UniqueStageID();
    std::string m_dir;
    std::unique_ptr<asiemu::CAsiEmulator> emu;
    plat::CModule module{PLINTH_ASI_MODULE}; // released after the stage
    stg::CLowLevelStage* stage = nullptr;
    std::unique_ptr<stg::CMediumLevelStage> medium;
    std::unique_ptr<stg::CStageAccess> access;
};

TEST_F(AsiDriver, RangeSearchMovesStopsAndFreeRuns)
{
    // The calibration comes from the controller's UM (10 000 per mm: 0.1 µm); the range search
    // finds the firmware limits and returns to where it started.
    utl::TUnitValue<double> calibration;
    ASSERT_EQ(stg::ReadAxisProperty(*stage, c_x, stg::c_propCalibration, calibration), c_OK);
    EXPECT_DOUBLE_EQ(calibration.In(utl::c_mum).GetValue(), 0.1);
    ASSERT_EQ(medium->InitRanges({c_x, c_y, c_z}), c_OK) << Message();
    std::int64_t lower = 0, upper = 0;
    ASSERT_EQ(stage->GetAxisLimits(c_y, lower, upper), c_OK);
    EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(std::int64_t{-340'000}, std::int64_t{440'000}));
    EXPECT_EQ(emu->Position('Y'), 0);
    // Wider limits are kept inside the firmware's.
    ASSERT_EQ(stage->SetAxisLimits(c_x, -10'000'000, 10'000'000), c_OK);
    ASSERT_EQ(stage->GetAxisLimits(c_x, lower, upper), c_OK);
    EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(std::int64_t{-590'000}, std::int64_t{390'000}));

    // A move in micrometres ends at the right count of the controller's units.
    ASSERT_EQ(access->SetPosition({{c_x, Um(1234.5)}, {c_y, Um(-20.0)}}), c_OK) << Message();
    EXPECT_EQ(emu->Position('X'), 12'345);
    EXPECT_EQ(emu->Position('Y'), -200);

    // A started move returns at once and is awaited by polling.
    ASSERT_EQ(stage->SetSpeeds({{c_z, 500.0}}), c_OK); // 0.05 mm/s: half a second of real time
    ASSERT_EQ(stage->MoveToPos({{c_z, 5'000}}), c_OK) << Message();
    EXPECT_TRUE(stage->IsMoving({c_z}));
    EXPECT_EQ(stage->WaitForStop({c_z}, c_boundMs), c_OK) << Message();
    EXPECT_EQ(emu->Position('Z'), 5'000);

    // A stop from another thread ends a blocking move short of its target (seconds away).
    ASSERT_EQ(stage->SetSpeeds({{c_x, 10'000.0}}), c_OK); // 1 mm/s
    int moves = emu->MovesReceived();
    auto move = std::async(std::launch::async, [&] { return access->SetPosition({{c_x, Um(30'000.0)}}); });
    AwaitMove(moves);
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
    ASSERT_EQ(move.wait_for(std::chrono::milliseconds(c_boundMs)), std::future_status::ready);
    EXPECT_EQ(move.get(), stg::c_Stopped);
    EXPECT_FALSE(stage->IsMoving({c_x}));
    EXPECT_LT(Ticks(c_x), 300'000);

    // A free run stopped by the user, and one that the firmware limit ends.
    moves = emu->MovesReceived();
    ASSERT_EQ(stage->MoveFree({{c_x, -1.0}}), c_OK) << Message();
    AwaitMove(moves);
    EXPECT_EQ(stage->StopMoving(), c_OK) << Message();
    EXPECT_GT(Ticks(c_x), -590'000);
    ASSERT_EQ(stage->SetSpeeds({{c_z, 15'000.0}}), c_OK);
    ASSERT_EQ(stage->MoveFree({{c_z, -1.0}}), c_OK) << Message();
    EXPECT_EQ(stage->WaitForStop({c_z}, c_boundMs), c_OK) << Message();
    EXPECT_EQ(Ticks(c_z), -100'000);
}

TEST_F(AsiDriver, RefusalsGarbleSilenceStallAndAVanishingPort)
{
    // A refusal surfaces as its result code with the controller's words.
    EXPECT_EQ(stage->MoveToPos({{c_x, 400'001}}), stg::c_TargetOutOfRange);
    EXPECT_NE(Message().find(":N-4"), std::string::npos) << Message();

    // A garbled reply is survived: the driver re-synchronises and asks again.
    emu->GarbleNextReply();
    EXPECT_EQ(Ticks(c_y), 0) << Message();
    emu->SetGarbleRate(0.3);
    for (int i = 0; i < 5; ++i)
        stage->IsMoving({c_x});
    emu->SetGarbleRate(0.0);
    ASSERT_EQ(stage->SetPosition({{c_y, 777}}), c_OK) << Message();
    EXPECT_EQ(Ticks(c_y), 777);

    // Silence: a time-out within the reply time-out; then it answers again, and a reply that
    // comes late is not taken for the next one's.
    emu->Silence(true);
    const auto start = std::chrono::steady_clock::now();
    TickMap x{{c_x, 0}};
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * c_replyTimeoutMs));
    // The next call's re-synchronisation waits one reply time-out, not one per try.
    EXPECT_EQ(stage->MoveToPos({{c_x, 5}}), stg::c_Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(7 * c_replyTimeoutMs / 2));
    emu->Silence(false);
    EXPECT_EQ(Ticks(c_x), 0) << Message();
    emu->DelayNextReply(c_replyTimeoutMs + 100); // X's 0 comes late
    EXPECT_EQ(stage->GetPosition(x, stg::eGivenAxes), stg::c_Timeout);
    EXPECT_EQ(Ticks(c_y), 777) << Message();

    // A stall: the axis stops short, the move fails with the motor state in words, and the next
    // move is refused (:N-5) until the motor is enabled again.
    emu->StallNextMove('Y');
    EXPECT_EQ(stage->SetPosition({{c_y, 100'000}}), c_DeviceFault);
    EXPECT_NE(Message().find("motor is disabled"), std::string::npos) << Message();
    EXPECT_EQ(stage->SetPosition({{c_y, 0}}), c_DeviceFault);
    EXPECT_NE(Message().find(":N-5"), std::string::npos) << Message();

    // The port vanishing mid-move ends the wait; re-activation opens it again.
    ASSERT_EQ(stage->MoveToPos({{c_x, 300'000}}), c_OK) << Message();
    emu->Vanish();
    EXPECT_NE(stage->WaitForStop({c_x}, c_boundMs), c_OK);
    EXPECT_FALSE(stage->CheckConnection());
    EXPECT_NE(Message().find("went away"), std::string::npos) << Message();
    ASSERT_TRUE(emu->Reappear()) << emu->Error();
    ASSERT_EQ(stage->Init(), c_OK) << Message();
    EXPECT_EQ(stage->SetPosition({{c_x, 1234}}), c_OK) << Message();
    EXPECT_EQ(emu->Position('X'), 1234);
}

TEST(AsiEmulator, LinksOnlyWhereNothingIsAndRemovesOnlyItsOwnLink)
{
    char dir[] = "/tmp/plinth-asi-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/port";
    asiemu::tAsiEmulatorOptions options;
    options.linkPath = path;
    ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); // someone else's, dangling
    {
        asiemu::CAsiEmulator emu(options);
        EXPECT_FALSE(emu.Start());
        EXPECT_NE(emu.Error().find("exists"), std::string::npos) << emu.Error();
    }
    char target[64] = {};
    EXPECT_EQ(readlink(path.c_str(), target, sizeof(target) - 1), 12); // untouched
    unlink(path.c_str());
    {
        asiemu::CAsiEmulator emu(options);
        ASSERT_TRUE(emu.Start()) << emu.Error();
        ASSERT_TRUE(emu.Reappear()); // still the link it made
        unlink(path.c_str());
        ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); // replaced by someone else meanwhile
    }
    EXPECT_EQ(readlink(path.c_str(), target, sizeof(target) - 1), 12);
    unlink(path.c_str());
    rmdir(dir);
}

// Runs plinth with `args` and the settings file `config`; answers the exit status and stdout.
std::pair<int, std::string> Plinth(const std::vector<std::string>& args, const std::string& config)
{
    int out[2];
    if (pipe(out) != 0)
        return {-1, ""};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        setenv("PLINTH_CONFIG", config.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(PLINTH_BINARY), const_cast<char*>("--module"),
                                const_cast<char*>(PLINTH_ASI_MODULE)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(PLINTH_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, text};
}

TEST(AsiCommand, LimitsMoveAndPositionInSeparateRuns)
{
    char dir[] = "/tmp/plinth-asi-cli-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string config = std::string(dir) + "/settings.db", link = std::string(dir) + "/asi";
    {
        asiemu::tAsiEmulatorOptions options;
        options.timeScale = 50.0;
        options.linkPath = link;
        asiemu::CAsiEmulator emu(options);
        ASSERT_TRUE(emu.Start()) << emu.Error();
        // The port is given once and remembered with the stage's settings.
        EXPECT_EQ(Plinth({"--port", link, "limits", "--init"}, config).first, 0);
        EXPECT_EQ(Plinth({"move", "X=1mm"}, config).first, 0);
        EXPECT_EQ(emu.Position('X'), 10'000);
        const auto [status, out] = Plinth({"pos"}, config);
        EXPECT_EQ(status, 0);
        EXPECT_NE(out.find("X (axis 1): 1000.000 µm"), std::string::npos) << out;
    }
    unlink(config.c_str());
    rmdir(dir);
}

} // namespace
} // namespace asitest
