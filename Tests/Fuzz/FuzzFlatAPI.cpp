// Reads its input as a sequence of flat-API calls on one stage of the test driver and checks the
// library's promises: no target outside the limits in force, for a disabled axis or for an axis
// without limits reaches the driver (CLimitGuard, inside the driver's move slots), and no call
// that carries a number that is not finite answers c_OK. Every input starts from a stage
// registered and activated afresh, without stored settings.
//
// Input: the first byte chooses the driver (bit 0: moves emulated by the library); then each call
// is an operation byte followed by its arguments (see Run). Numbers take one byte: 0-15 name a
// special value (NaN, infinities, huge, tiny), 240-255 take the next eight bytes as a raw double,
// the others are (b - 128) * 250 µm. A missing byte reads as 0.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include <dlfcn.h>
#include <unistd.h>

#include <boost/any.hpp>

#include <cfg/GlobalPropSets.h>
#include <plinth/Plinth.h>

#include "CLimitGuard.h"
#include "CTestStage.h"

namespace {

using Um = utl::TUnitValue<double>;
constexpr std::uint32_t c_stageID = 4242;
bool g_emulated = false; // the driver the next CreateStage makes

class CInput {
public:
    CInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_size == 0; }
    std::uint8_t Byte()
    {
        if (m_size == 0)
            return 0;
        --m_size;
        return *m_data++;
    }
    bool Bool() { return Byte() & 1; }
    stg::EAxisType Type()
    {
        static constexpr stg::EAxisType types[] = {stg::eAxisX, stg::eAxisY, stg::eAxisZ, stg::eAxisNone};
        return types[Byte() % 4];
    }
    double Number()
    {
        static constexpr double inf = std::numeric_limits<double>::infinity();
        static constexpr double special[] = {0.0,     std::numeric_limits<double>::quiet_NaN(),
                                             inf,     -inf,
                                             1e300,   -1e300,
                                             0x1p63,  -0x1p63,
                                             5e-324,  -0.0,
                                             1e15,    -1e15,
                                             1e-9,    std::numeric_limits<double>::max(),
                                             20000.0, -20000.0};
        const std::uint8_t b = Byte();
        double value = 0.0;
        if (b < 16)
            value = special[b];
        else if (b >= 240) {
            std::uint8_t raw[sizeof(double)];
            for (auto& byte : raw)
                byte = Byte();
            std::memcpy(&value, raw, sizeof value);
        } else
            value = (b - 128) * 250.0;
        m_nonFinite = m_nonFinite || !std::isfinite(value);
        return value;
    }
    Um Length() { return Um(Number(), utl::c_mum); }
    // Whether a number read since the last call was not finite.
    bool TakeNonFinite() { return std::exchange(m_nonFinite, false); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    bool m_nonFinite = false;
};

stg::tAxisProps Axis(int axisNo, stg::EAxisType type, Um tick)
{
    stg::tAxisProps props;
    props.axisNo = axisNo;
    props.axisType = type;
    props.calibration = tick;
    props.speed = 5.0;
    props.speedMin = 0.5;
    props.speedMax = 50.0;
    return props;
}

stg::tStageInfo Info()
{
    static const plat::ModuleHandle self = dlopen(nullptr, RTLD_NOW); // this program: see CreateStage
    return {self, c_stageID};
}
stg::CStageManager& Manager() { return stg::CStageManager::StageManager(); }

constexpr int c_operations = 20;
constexpr const char* c_operationNames[c_operations] = {"RegisterStage+ActivateStage",
                                                        "UnregisterStage",
                                                        "Reset",
                                                        "MoveTo",
                                                        "MoveToXYZ",
                                                        "SetAxisLimits",
                                                        "UndefineLimits",
                                                        "SetCalibration",
                                                        "SetProperty(AngleXY)",
                                                        "SetProperty(Speed)",
                                                        "SetProperty(offset)",
                                                        "SetProperty(axis switch)",
                                                        "EnableAxis",
                                                        "EnablePrecision",
                                                        "SetProperty(stage switch)",
                                                        "EscapeZ",
                                                        "StopMoving",
                                                        "MoveFree",
                                                        "SetAxisSpeed",
                                                        "GetPosition+WaitForStop"};

// One call with its arguments from the input; answers its result code (c_OK for calls without one).
int Call(int operation, CInput& in)
{
    const std::uint32_t id = c_stageID;
    switch (operation) {
    case 0:
        return Manager().RegisterStage(Info()) && Manager().ActivateStage(Info()) ? stg::c_OK : stg::c_GeneralFailure;
    case 1:
        Manager().UnregisterStage(Info());
        return stg::c_OK;
    case 2:
        return Manager().Reset(Info()) ? stg::c_OK : stg::c_GeneralFailure;
    case 3: {
        const auto type = in.Type();
        const Um target = in.Length();
        return stg::MoveTo(id, type, target, in.Bool());
    }
    case 4: {
        const double x = in.Number(), y = in.Number(), z = in.Number();
        return stg::MoveToXYZ(id, utl::TUnitValue<geo::CdVec3>(geo::CdVec3(x, y, z), utl::c_mum), in.Bool());
    }
    case 5: {
        const auto type = in.Type();
        const Um lower = in.Length();
        return stg::SetAxisLimits(id, type, lower, in.Length());
    }
    case 6:
        return stg::UndefineLimits(id, in.Type());
    case 7: {
        const auto type = in.Type();
        return stg::SetCalibration(id, type, Um(in.Number(), utl::c_nm));
    }
    case 8:
        return stg::SetProperty(id, stg::c_propAngleXY, in.Number());
    case 9: {
        const auto type = in.Type();
        return stg::SetProperty(id, type, stg::c_propSpeed, in.Number());
    }
    case 10: {
        const auto type = in.Type();
        const std::int64_t ticks = static_cast<std::int8_t>(in.Byte()) * 100000LL;
        return stg::SetProperty(id, type, in.Bool() ? stg::c_propOffsetPosition : stg::c_propOffsetSWBL, ticks);
    }
    case 11: {
        static constexpr int props[] = {stg::c_propModeSetLimit, stg::c_propAxisInverted, stg::c_propUseLimitSwitch,
                                        stg::c_propAllowEscape};
        const auto type = in.Type();
        const int prop = props[in.Byte() % 4];
        return stg::SetProperty(id, type, prop, in.Bool());
    }
    case 12: {
        const auto type = in.Type();
        return stg::EnableAxis(id, type, in.Bool());
    }
    case 13:
        return stg::EnablePrecision(id, in.Bool());
    case 14: {
        static constexpr int props[] = {stg::c_propBacklashEnable, stg::c_propNonOrthoEnable};
        const int prop = props[in.Byte() % 2];
        return stg::SetProperty(id, prop, in.Bool());
    }
    case 15:
        return stg::EscapeZ(id, in.Bool());
    case 16:
        return stg::StopMoving(id);
    case 17: {
        const auto type = in.Type();
        return stg::MoveFree(id, type, in.Number());
    }
    case 18: {
        const auto type = in.Type();
        return stg::SetAxisSpeed(id, type, in.Number());
    }
    default: {
        std::map<stg::EAxisType, Um> positions;
        stg::GetPosition(id, positions, stg::eAllAxes);
        return stg::WaitForStop(id, in.Type(), 50);
    }
    }
}

} // namespace

// The program is its own driver module: the stage manager finds this factory in it.
extern "C" __attribute__((visibility("default"))) stg::CLowLevelStage* CreateStage(std::uint32_t stageID)
{
    stgtest::tTestStageConfig config;
    config.axes = {Axis(1, stg::eAxisX, Um(0.7, utl::c_mum)), Axis(2, stg::eAxisY, Um(0.5, utl::c_mum)),
                   Axis(3, stg::eAxisZ, Um(20.0, utl::c_nm))};
    config.implemented = stgtest::AllSlots();
    if (g_emulated)
        for (auto slot : {stgtest::ESlot::MoveToPos, stgtest::ESlot::WaitForStop, stgtest::ESlot::MoveFree,
                          stgtest::ESlot::MoveToPosAtSpeed})
            config.implemented.erase(slot);
    return new stgtest::CLimitGuard<stgtest::CTestStage>(stageID, std::move(config));
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv)
{
    // Settings stay in memory: fuzzing must not write into anyone's configuration.
    if (!std::getenv("PLINTH_CONFIG")) {
        setenv("PLINTH_CONFIG", ":memory:", 1);
        execv("/proc/self/exe", *argv);
    }
    stgtest::g_guardReport.abortOnViolation = true;
    // A subscriber that reads back: the library must allow re-entry from its events.
    utl::SubscribeEvent(stg::GetStageEventID(), [](const boost::any& message) {
        std::map<stg::EAxisType, Um> positions;
        stg::GetPosition(boost::any_cast<const stg::tSTAGEMSG&>(message).stageID, positions, stg::eAllAxes);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CInput in(data, size);
    g_emulated = in.Bool();
    Manager().RegisterStage(Info());
    Manager().ActivateStage(Info());
    while (!in.Done()) {
        const int operation = in.Byte() % c_operations;
        if (Call(operation, in) == stg::c_OK && in.TakeNonFinite()) {
            std::fprintf(stderr, "INVARIANT BROKEN: %s with a number that is not finite answered c_OK\n",
                         c_operationNames[operation]);
            std::abort();
        }
        in.TakeNonFinite();
    }
    Manager().UnregisterStage(Info());
    cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, c_stageID); // the next input starts without stored settings
    stg::ResetEscapeCounter(c_stageID);
    return 0;
}
