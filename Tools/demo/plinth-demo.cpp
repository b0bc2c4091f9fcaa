// A walk through the low-level stage with the configurable test driver: two axes, limits, moves,
// range initialisation, speeds and Exit. Each step prints its result code; the program exits 1
// when any step answers something other than what it should.

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/any.hpp>

#include <plinth/Plinth.h>

#include "CTestStage.h"

namespace {

int g_unexpected = 0;

// Prints one step and its result code; counts it when the code is not the expected one.
int Step(const std::string& what, int rc, int expected = stg::c_OK)
{
    std::cout << "  " << what << " -> " << stg::ResultCodeName(rc) << " (" << rc << ")";
    if (rc != expected) {
        std::cout << "   UNEXPECTED, wanted " << stg::ResultCodeName(expected);
        ++g_unexpected;
    }
    std::cout << '\n';
    return rc;
}

// Like Step for operations that answer a bool.
void Check(const std::string& what, bool answer, bool expected)
{
    std::cout << "  " << what << " -> " << std::boolalpha << answer;
    if (answer != expected) {
        std::cout << "   UNEXPECTED";
        ++g_unexpected;
    }
    std::cout << '\n';
}

void Section(const char* title) { std::cout << '\n' << title << '\n'; }

const char* EventName(int msgID)
{
    switch (msgID) {
    case stg::c_msgLimitsChanged:
        return "LimitsChanged";
    case stg::c_msgCalibrationChanged:
        return "CalibrationChanged";
    case stg::c_msgUserControlOn:
        return "UserControlOn";
    case stg::c_msgUserControlOff:
        return "UserControlOff";
    case stg::c_msgInitRangesBegin:
        return "InitRangesBegin";
    case stg::c_msgInitRangesEnd:
        return "InitRangesEnd";
    default:
        return "?";
    }
}

const char* AxisTypeName(stg::EAxisType type)
{
    switch (type) {
    case stg::eAxisX:
        return "X";
    case stg::eAxisY:
        return "Y";
    case stg::eAxisZ:
        return "Z";
    default:
        return "none";
    }
}

// A stored value as text: its scalar, with the unit symbol when one is attached.
std::string Describe(const mem::CBin& value)
{
    std::ostringstream out;
    std::int32_t i32 = 0;
    std::int64_t i64 = 0;
    double d = 0.0;
    bool b = false;
    if (value.Get(i32))
        out << i32;
    else if (value.Get(i64))
        out << i64;
    else if (value.Get(d))
        out << d;
    else if (value.Get(b))
        out << std::boolalpha << b;
    else
        out << "(type " << value.GetTypeCode() << ")";
    utl::CUnit unit;
    if (value.GetUnit(unit) && !unit.IsNull())
        out << ' ' << unit.GetSymbol();
    return out.str();
}

struct tNamedProp {
    int id;
    const char* name;
};

constexpr tNamedProp c_shownProps[] = {
    {stg::c_propAxisEnabled, "AxisEnabled"},
    {stg::c_propCalibration, "Calibration"},
    {stg::c_propSpeed, "Speed"},
    {stg::c_propSpeedMin, "SpeedMin"},
    {stg::c_propSpeedMax, "SpeedMax"},
    {stg::c_propHasLimitSwitch, "HasLimitSwitch"},
    {stg::c_propMirrorLoadPosition, "MirrorLoadPosition"},
    {stg::c_propLastPosition, "LastPosition"},
};

// Length of one tick of the axis in micrometres (0 when unreadable).
double TickInMicrometres(stg::CLowLevelStage& stage, int axis)
{
    mem::CBin value;
    double length = 0.0;
    utl::CUnit unit;
    if (stage.GetPropertyVessel(axis, stg::c_propCalibration, value) != stg::c_OK || !value.Get(length))
        return 0.0;
    value.GetUnit(unit);
    return unit.IsNull() ? length : utl::Convert(length, unit, utl::c_mum);
}

void PrintPositions(stg::CLowLevelStage& stage)
{
    stg::CLowLevelStage::TickMap positions;
    Step("GetPosition(all axes)", stage.GetPosition(positions, stg::eAllAxes));
    for (const auto& [axis, ticks] : positions)
        std::cout << "    axis " << axis << ": " << ticks << " ticks = " << ticks * TickInMicrometres(stage, axis)
                  << " µm\n";
}

void PrintLimits(stg::CLowLevelStage& stage)
{
    for (int axis : stage.GetAxisList()) {
        std::int64_t lower = 0;
        std::int64_t upper = 0;
        const int rc = Step("GetAxisLimits(" + std::to_string(axis) + ")", stage.GetAxisLimits(axis, lower, upper));
        if (rc == stg::c_OK)
            std::cout << "    [" << lower << ", " << upper << "] ticks\n";
    }
}

stg::tAxisProps MakeAxis(int axisNo, stg::EAxisType type, double tickMicrometres)
{
    stg::tAxisProps props;
    props.axisNo = axisNo;
    props.axisType = type;
    props.calibration = utl::TUnitValue<double>(tickMicrometres, utl::c_mum);
    props.speed = 100.0;
    props.speedMin = 1.0;
    props.speedMax = 500.0;
    props.modifySpeed = true;
    return props;
}

} // namespace

int main()
{
    constexpr std::uint32_t stageID = 1;
    constexpr int x = 1;
    constexpr int y = 2;

    stgtest::tTestStageConfig config;
    config.axes = {MakeAxis(x, stg::eAxisX, 0.1), MakeAxis(y, stg::eAxisY, 0.05)};
    config.freshAxes = true;
    config.implemented = stgtest::AllSlots();
    config.hardwareRanges = {{x, {-500000, 500000}}, {y, {-400000, 400000}}};
    stgtest::CTestStage stage(stageID, config);

    const utl::EventToken token = utl::SubscribeEvent(stg::GetStageEventID(), [](const boost::any& message) {
        const auto msg = boost::any_cast<stg::tSTAGEMSG>(message);
        std::cout << "    event " << EventName(msg.msgID) << " (stage " << msg.stageID << ", axis " << msg.axis
                  << ")\n";
    });

    std::cout << "Plinth demonstration: test driver, stage " << stageID << "\n";

    Section("Init");
    Step("Init()", stage.Init());
    Check("CheckConnection()", stage.CheckConnection(), true);

    Section("Axes");
    std::cout << "  " << stage.GetAxisCount() << " axes\n";
    for (int axis : stage.GetAxisList()) {
        std::cout << "  axis " << axis << ", type " << AxisTypeName(stage.GetAxisType(axis)) << '\n';
        for (const auto& prop : c_shownProps) {
            mem::CBin value;
            if (stage.GetPropertyVessel(axis, prop.id, value) == stg::c_OK)
                std::cout << "    " << prop.name << " = " << Describe(value) << '\n';
        }
    }

    Section("Limits");
    Check("AreLimitsDefined(all)", stage.AreLimitsDefined(nullptr), false);
    Step("SetAxisLimits(X, -200000, 200000)", stage.SetAxisLimits(x, -200000, 200000));
    Step("SetAxisLimits(Y, -100000, 100000)", stage.SetAxisLimits(y, -100000, 100000));
    Check("AreLimitsDefined(all)", stage.AreLimitsDefined(nullptr), true);
    PrintLimits(stage);
    Step("SetAxisLimits(axis 7, 0, 1)", stage.SetAxisLimits(7, 0, 1), stg::c_NoSuchAxis);

    Section("Moves");
    Step("SetPosition(X 1000, Y -2000)", stage.SetPosition({{x, 1000}, {y, -2000}}));
    PrintPositions(stage);
    Step("MoveToPos(X 25000, Y 40000)", stage.MoveToPos({{x, 25000}, {y, 40000}}));
    Check("IsMoving(X, Y)", stage.IsMoving({x, y}), true);
    Step("WaitForStop(X, Y, 1000 ms)", stage.WaitForStop({x, y}, 1000));
    Check("IsMoving(X, Y)", stage.IsMoving({x, y}), false);
    PrintPositions(stage);

    Section("Range initialisation");
    Step("InitRanges(X, Y)", stage.InitRanges({x, y}));
    PrintLimits(stage);

    Section("Speeds");
    Step("SetSpeeds(X 250, Y 125)", stage.SetSpeeds({{x, 250.0}, {y, 125.0}}));
    stg::CLowLevelStage::SpeedMap speeds;
    Step("GetSpeeds(all axes)", stage.GetSpeeds(speeds, stg::eAllAxes));
    for (const auto& [axis, speed] : speeds)
        std::cout << "    axis " << axis << ": " << speed << '\n';

    Section("Exit");
    Step("Exit()", stage.Exit());
    stg::CLowLevelStage::TickMap positions;
    stage.GetPosition(positions, stg::eAllAxes);
    for (int axis : stage.GetAxisList()) {
        mem::CBin value;
        std::int64_t stored = 0;
        Step("read LastPosition of axis " + std::to_string(axis),
             stage.GetPropertyVessel(axis, stg::c_propLastPosition, value));
        value.Get(stored);
        std::cout << "    LastPosition = " << stored << " ticks\n";
        Check("LastPosition equals the position at Exit", stored == positions[axis], true);
    }

    utl::UnsubscribeEvent(token);

    if (g_unexpected != 0) {
        std::cout << "\n" << g_unexpected << " step(s) answered unexpectedly\n";
        return 1;
    }
    std::cout << "\nAll steps answered as expected.\n";
    return 0;
}
