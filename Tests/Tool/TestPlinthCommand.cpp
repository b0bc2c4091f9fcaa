// The `plinth` command run as a process, the way a user runs it.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::HasSubstr;

struct tRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// The build tree's driver folders: plinth looks for drivers named by short name only where it is told.
const char* const c_driverPath = PLINTH_SIM_DIR ":" PLINTH_ZABER_DIR ":" PLINTH_ASI_DIR;

// What a run changes of its environment: a variable set (or unset, with a null value), the directory.
struct tEnvironment {
    const char* driverPath = c_driverPath;
    std::string directory;
};

// Runs plinth with `args` and the configuration database `config`; stdin is empty.
tRun Plinth(const std::vector<std::string>& args,
            const std::string& config = ":memory:", const tEnvironment& environment = {})
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        close(out[0]);
        close(err[0]);
        setenv("PLINTH_CONFIG", config.c_str(), 1);
        if (environment.driverPath)
            setenv("PLINTH_DRIVER_PATH", environment.driverPath, 1);
        else
            unsetenv("PLINTH_DRIVER_PATH");
        if (!environment.directory.empty() && chdir(environment.directory.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(PLINTH_BINARY)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(PLINTH_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    tRun run;
    // stderr is small; read stdout first, then stderr (both pipes close when the child ends).
    run.out = ReadAll(out[0]);
    run.err = ReadAll(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::size_t Lines(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(PlinthCommand, DemoRunsToTheEnd)
{
    const tRun run = Plinth({"--time-scale", "200", "demo"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("range search ended"));
    EXPECT_THAT(run.out, HasSubstr("Z at 0.000 µm, escaped"));
    EXPECT_THAT(run.out, HasSubstr("== Summary"));
    EXPECT_EQ(run.err, "");
}

TEST(PlinthCommand, SettingsAndPositionCarryOverToTheNextInvocation)
{
    const auto config =
        std::filesystem::temp_directory_path() / ("plinth-command-test-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(config);
    const tRun limits = Plinth({"limits", "X=-1mm:1mm", "Y=-2mm:2mm", "Z=0um:500um"}, config);
    ASSERT_EQ(limits.status, 0) << limits.err;
    const tRun move = Plinth({"--time-scale", "100", "move", "X=12.5um", "Y=-1mm", "Z=250 µm"}, config);
    ASSERT_EQ(move.status, 0) << move.err;
    const tRun pos = Plinth({"pos"}, config);
    EXPECT_EQ(pos.status, 0) << pos.err;
    EXPECT_THAT(pos.out, HasSubstr("X (axis 1): 12.500 µm"));
    EXPECT_THAT(pos.out, HasSubstr("Y (axis 2): -1000.000 µm"));
    EXPECT_THAT(pos.out, HasSubstr("Z (axis 3): 250.000 µm"));
    // A disabled axis has no position to show; the others are shown all the same.
    ASSERT_EQ(Plinth({"prop", "set", "Z", "AxisEnabled", "false"}, config).status, 0);
    const tRun posWithoutZ = Plinth({"pos"}, config);
    EXPECT_EQ(posWithoutZ.status, 0) << posWithoutZ.err;
    EXPECT_THAT(posWithoutZ.out, HasSubstr("X (axis 1): 12.500 µm"));
    EXPECT_THAT(posWithoutZ.out, HasSubstr("Z (axis 3): disabled"));
    // Truth values and quantities as a user types and reads them.
    EXPECT_EQ(Plinth({"prop", "set", "Z", "AxisEnabled", "on"}, config).status, 0);
    EXPECT_THAT(Plinth({"prop", "get", "X", "Calibration"}, config).out, HasSubstr("Calibration = 0.1000 µm"));

    // Without limits the positions are still shown, marked as not homed; a move is refused.
    ASSERT_EQ(Plinth({"limits", "--clear", "X"}, config).status, 0);
    EXPECT_THAT(Plinth({"pos"}, config).out, HasSubstr("X (axis 1): 12.500 µm (not homed"));
    ASSERT_EQ(Plinth({"limits", "X=-1mm:1mm"}, config).status, 0);
    // A port that led to no device is not remembered.
    EXPECT_EQ(Plinth({"--module", "zaber", "--stage", "7", "--port", "/nonexistent/tty", "info"}, config).status, 1);
    EXPECT_THAT(Plinth({"--module", "zaber", "--stage", "7", "info"}, config).err, HasSubstr("no serial port set"));

    const tRun outside = Plinth({"move", "X=2mm"}, config);
    EXPECT_EQ(outside.status, 1);
    EXPECT_THAT(outside.err, HasSubstr("X: 2 mm lies outside the limits -1 mm .. 1 mm, TargetOutOfRange (4017)"));
    EXPECT_EQ(Lines(outside.err), 1u);
    // Units as a person writes them: metres parse and are refused as out of range, centimetres move.
    EXPECT_THAT(Plinth({"move", "X=5m"}, config).err, HasSubstr("X: 5 m lies outside the limits -1 mm .. 1 mm"));
    const tRun centimetres = Plinth({"--time-scale", "100", "move", "X=-0.05cm"}, config);
    EXPECT_EQ(centimetres.status, 0) << centimetres.err;
    EXPECT_THAT(centimetres.out, HasSubstr("X (axis 1): -500.000 µm"));

    // Speeds in lengths per second, converted through each axis's own tick length (X 0.1 µm, Y
    // 0.05 µm): the driver's "Speed" in ticks per second shows the conversion.
    const tRun speeds = Plinth({"speed", "X=5mm/s", "Y=250 µm/s"}, config);
    EXPECT_EQ(speeds.status, 0) << speeds.err;
    EXPECT_THAT(speeds.out, HasSubstr("X (axis 1): 5 mm/s"));
    EXPECT_THAT(speeds.out, HasSubstr("Y (axis 2): 250 µm/s"));
    EXPECT_THAT(Plinth({"prop", "get", "X", "Speed"}, config).out, HasSubstr("Speed = 50000"));
    EXPECT_THAT(Plinth({"prop", "get", "Y", "Speed"}, config).out, HasSubstr("Speed = 5000"));
    EXPECT_THAT(Plinth({"axes"}, config).out, HasSubstr("speed       250 µm/s"));
    // A speed that does not convert is refused naming the axis.
    EXPECT_THAT(Plinth({"speed", "X=5deg/s"}, config).err,
                HasSubstr("speed of X: X (axis 1) takes speeds in µm/s (or another unit of its kind), not °/s"));

    // A refused setting leaves the stored one alone; a reset forgets every stored setting.
    EXPECT_EQ(Plinth({"prop", "set", "stage", "SimTimeScale", "-1"}, config).status, 1);
    EXPECT_THAT(Plinth({"prop", "get", "stage", "SimTimeScale"}, config).out, HasSubstr("SimTimeScale = 100"));
    EXPECT_THAT(Plinth({"config"}, config).out, HasSubstr("settings: " + config.string()));
    const tRun reset = Plinth({"config", "reset", "1", "--yes"}, config);
    EXPECT_EQ(reset.status, 0) << reset.err;
    EXPECT_THAT(reset.out, HasSubstr("stage 1: its stored settings are forgotten"));
    EXPECT_THAT(Plinth({"limits"}, config).out, HasSubstr("X (axis 1): not defined"));
    EXPECT_THAT(Plinth({"prop", "get", "stage", "SimTimeScale"}, config).out, HasSubstr("SimTimeScale = 10\n"));
    std::filesystem::remove(config);
    std::filesystem::remove(config.string() + "-wal");
    std::filesystem::remove(config.string() + "-shm");
}

// Every subcommand ends with one of four statuses: 0 done, 1 the operation failed, 2 the command
// line was not understood, 130 interrupted (below). A failure is one clear line on stderr.
TEST(PlinthCommand, EveryOutcomeHasItsStatusAndAFailureOneClearLine)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--version"}, 0, "plinth 0."},
        {{"mvoe", "X=1um"}, 2, "unknown command \"mvoe\" (did you mean move?)"},
        {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
        {{"pos", "junk"}, 2, "not expected: junk"},
        {{"move"}, 2, "targets is required"},
        {{"move", "X=12.5"}, 2, "not a value with a unit"},
        {{"move", "X=nan"}, 2, "X: not a finite number"},
        {{"move", "X=1e999mm"}, 2, "X: \"1e999mm\" is out of range"},
        {{"move", "X=5um junk"}, 2, "X: not a value with a unit"},
        {{"speed", "X=-"}, 2, "X: not a number"},
        {{"speed", "X=0"}, 2, "X: \"0\" is out of range"},
        {{"speed", "X=5mm"}, 2, "X: not a speed: \"5mm\" (write a length per second, for example 5mm/s)"},
        {{"speed", "X=-5mm/s"}, 2, "X: \"-5mm/s\" is out of range"},
        {{"speed", "Y=5000"}, 0, "Y (axis 2): 250 µm/s"},
        {{"prop", "set", "X", "AxisEnabled", "maybe"}, 2, "AxisEnabled: not a truth value"},
        {{"prop", "get", "stage", "1x", "--type", "int"}, 2, "property: not a whole number"},
        {{"--stage", "4294967296", "info"}, 2, "--stage: \"4294967296\" is out of range"},
        {{"--time-scale", "nan", "info"}, 2, "--time-scale: not a finite number"},
        {{"watch", "--interval", "1e3"}, 2, "--interval: not a whole number"},
        {{"move", "W=1um"}, 2, "has no axis W"},
        {{"move", "X=5deg"}, 1, "move: X (axis 1) takes positions in µm (or another unit of its kind), not °"},
        {{"--module", "/nonexistent/driver.so", "info"}, 1, "cannot load driver module"},
        {{"prop", "get", "stage", "99999"}, 1, "give it with --type"},
        {{"pos"}, 0, "X (axis 1): 0.000 µm (not homed: no limits yet"},
        {{"move", "X=1um"}, 1, "X: not homed, LimitsNotDefined (4005): the axis limits are not defined (run plinth"},
        {{"free", "Y=1000"}, 1, "Y: not homed, LimitsNotDefined (4005)"},
        {{"prop", "get", "X", "Sped"}, 2, "no setting named \"Sped\" (did you mean Speed?)"},
        {{"prop", "get", "stage", "SimTimeScale"}, 0, "SimTimeScale = 10\n"},
        {{"prop", "list", "X"}, 0, "Calibration              0.1000 µm            the length of one tick"},
        // Settings never written answer their declared default, by name and in the list.
        {{"prop", "get", "stage", "PrecisionEnabled"}, 0, "PrecisionEnabled = false"},
        {{"prop", "list", "X"}, 0, "OffsetSWBL               0 ticks              overshoot of software backlash"},
        {{"prop", "list", "stage"}, 0, "SimTimeScale             10                   how many times faster"},
        // A value outside the declared range or values is refused, naming the setting and what it takes.
        {{"prop", "set", "stage", "SimTimeScale", "0"}, 1, "SimTimeScale takes 1e-06 .. 1e+06, not 0; nothing was"},
        {{"prop", "set", "stage", "60000", "3"}, 1, "SimProfile takes one of 0, 1, 2, not 3"},
        {{"config"}, 0, "settings: kept in memory only (:memory:)"},
        {{"config", "reset", "1"}, 2, "no terminal to confirm on; add --yes"},
        {{"config", "reset", "0", "--yes"}, 2, "stage: \"0\" is out of range"},
        {{"--port", "/dev/null", "info"}, 1, "--port: the driver of stage 1 has no setting ZaberPort"},
        {{"--module", "zaber", "--time-scale", "5", "info"},
         1,
         "--time-scale: the driver of stage 2 has no setting SimTimeScale"},
        {{"--module", "asi", "--time-scale", "5", "info"}, 1, "--time-scale: the driver of stage 3 has no setting"},
        {{"--module", "zaber", "--stage", "7", "info"}, 1, "stage 7 found no device: no serial port set"},
    };
    for (const auto& c : cases) {
        const tRun run = Plinth(c.args);
        EXPECT_EQ(run.status, c.status) << c.says << "\n" << run.err;
        if (c.status == 0) {
            EXPECT_THAT(run.out, HasSubstr(c.says));
            continue;
        }
        EXPECT_THAT(run.err, HasSubstr(c.says));
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
    }
}

TEST(PlinthCommand, ASettingThatCannotBeSavedFailsTheCommand)
{
    // A file that is not a database is left alone and the settings stay in memory.
    const auto notADatabase =
        std::filesystem::temp_directory_path() / ("plinth-unusable-" + std::to_string(getpid()) + ".db");
    {
        std::ofstream(notADatabase) << std::string(3000, 'z');
    }
    // The directory cannot be made, so the first write fails.
    for (const std::string& config : {std::string("/dev/null/plinth/config.db"), notADatabase.string()}) {
        const tRun run = Plinth({"limits", "X=-1mm:1mm"}, config);
        EXPECT_EQ(run.status, 1) << config;
        EXPECT_THAT(run.err, HasSubstr("the changed settings could not be saved"));
    }
    std::filesystem::remove(notADatabase);
}

TEST(PlinthCommand, DriversAndTheSettingsFileAreTakenOnlyFromWhereTheyAreNamed)
{
    const std::string simDir = PLINTH_SIM_DIR;
    const struct {
        std::vector<std::string> args;
        tEnvironment environment;
        int status;
        const char* says;
    } cases[] = {
        // The build tree's drivers are no fallback, and a name is never a file of the current directory.
        {{"info"}, {nullptr, ""}, 1, "no libplinth_simstage.so in"},
        {{"--module", "libplinth_simstage.so", "info"}, {nullptr, simDir}, 1, "neither a driver name"},
        {{"--module", "../SimStage/libplinth_simstage.so", "info"}, {nullptr, simDir}, 0, "axes: 3"},
        {{"--driver-path", simDir, "info"}, {nullptr, ""}, 0, "axes: 3"},
        {{"drivers"}, {nullptr, ""}, 0, "asi "},
        {{"--module", "help"}, {c_driverPath, ""}, 0, PLINTH_ZABER_DIR "/libplinth_zaber.so"},
    };
    for (const auto& c : cases) {
        const tRun run = Plinth(c.args, ":memory:", c.environment);
        EXPECT_EQ(run.status, c.status) << c.says << "\n" << run.out << run.err;
        EXPECT_THAT(run.out + run.err, HasSubstr(c.says));
    }

    // A settings file that is a link to nowhere is not followed to make a file at its target.
    const auto dir = std::filesystem::temp_directory_path() / ("plinth-link-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(dir / "target.db", dir / "config.db");
    const tRun run = Plinth({"limits", "X=-1mm:1mm"}, (dir / "config.db").string());
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("symbolic link"));
    EXPECT_FALSE(std::filesystem::exists(dir / "target.db"));
    std::filesystem::remove_all(dir);
}

// Runs plinth with `args` and sends it SIGINT once its output matches `underway`; the output
// (stdout and stderr) and the exit status.
tRun Interrupt(const std::vector<std::string>& args, const std::string& config, const std::regex& underway)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        setenv("PLINTH_CONFIG", config.c_str(), 1);
        setenv("PLINTH_DRIVER_PATH", c_driverPath, 1);
        std::vector<char*> argv{const_cast<char*>(PLINTH_BINARY)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(PLINTH_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    tRun run;
    bool sent = false;
    char buffer[4096];
    for (;;) {
        pollfd readable{out[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            ADD_FAILURE() << "the command never got under way or never ended: " << run.out;
            break;
        }
        if (poll(&readable, 1, 100) <= 0)
            continue;
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        run.out.append(buffer, static_cast<std::size_t>(n));
        if (!sent && std::regex_search(run.out, underway)) {
            kill(child, SIGINT);
            sent = true;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// Ctrl-C stops the stage at once, also while the command blocks in a driver call (a Z escape):
// the axis stands short of its target, the next invocation finds it there, the status is 130.
TEST(PlinthCommand, CtrlCStopsAMoveAtOnceAndKeepsWhereTheStageStopped)
{
    const auto config =
        std::filesystem::temp_directory_path() / ("plinth-signal-test-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(config);
    ASSERT_EQ(Plinth({"limits", "X=-50mm:50mm", "Y=-50mm:50mm", "Z=0um:5000um"}, config).status, 0);
    ASSERT_EQ(Plinth({"--time-scale", "100", "move", "Z=2000um"}, config).status, 0);
    const struct {
        std::vector<std::string> args;
        const char* underway; // interrupted once the output matches
        const char* axis;     // stopped short of the target (and away from where it started, if given); or null
        const char* from;
        const char* to;
    } cases[] = {
        {{"--time-scale", "0.2", "move", "X=40mm"}, R"(X ([1-9][0-9]*\.[0-9]) )", "X (axis 1)", "0.000", "40000.000"},
        // The signal may come before Z starts to move: the escape then never gets under way.
        {{"--time-scale", "0.2", "escape"}, "escaping Z", "Z (axis 3)", nullptr, "0.000"},
        // A range search at this scale runs for minutes: only a stop that reaches it ends it in time.
        {{"--time-scale", "0.2", "limits", "--init"}, "searching the end switches", nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.underway);
        const tRun run = Interrupt(c.args, config, std::regex(c.underway));
        EXPECT_EQ(run.status, 130) << run.out;
        if (!c.axis)
            continue;
        const tRun pos = Plinth({"pos"}, config);
        std::smatch stopped;
        ASSERT_TRUE(std::regex_search(
            pos.out, stopped,
            std::regex(std::regex_replace(c.axis, std::regex(R"([()])"), R"(\$&)") + R"(: (-?[0-9.]+) )")))
            << pos.out;
        if (c.from) {
            EXPECT_NE(stopped[1], c.from);
        }
        EXPECT_NE(stopped[1], c.to);
    }
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(config.string() + suffix);
}

} // namespace
