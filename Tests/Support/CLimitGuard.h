#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include <plinth/Plinth.h>

namespace stgtest {

// What the stress and fuzz harnesses count as a broken promise of the library, seen from inside
// a driver: a move slot that receives a target for a disabled axis, for an axis without defined
// limits (outside limit-setting mode) or outside the limits the stage holds at that moment, a
// free run or a limit run of an axis whose limits are in force, or a speed that is not finite and
// positive (a free run's magnitude).
struct tGuardReport {
    std::atomic<long> violations{0};
    bool abortOnViolation = false; // the fuzzer wants the input that did it; the stress goes on
    std::mutex mutex;              // guards `printed`
    std::set<std::string> printed; // kinds of violation printed already (stage, slot, what)
};
inline tGuardReport g_guardReport;

// `Driver` with its move slots checked before they run. The slots run under the stage lock, and
// every limit and "AxisEnabled" write takes that lock too, so what the check reads here is what is
// in force while the driver moves. The first violation of each kind is printed; see tGuardReport.
template <class Driver>
class CLimitGuard : public Driver {
public:
    using Driver::Driver;

protected:
    using typename Driver::SpeedMap;
    using typename Driver::TickMap;

    int MoveToPosImpl(const TickMap& targets) override
    {
        CheckTargets("MoveToPos", targets);
        return Driver::MoveToPosImpl(targets);
    }
    int SetPositionImpl(const TickMap& targets) override
    {
        CheckTargets("SetPosition", targets);
        return Driver::SetPositionImpl(targets);
    }
    int MoveToPosAtSpeedImpl(const TickMap& targets, const SpeedMap& speeds) override
    {
        CheckTargets("MoveToPosAtSpeed", targets);
        CheckSpeeds("MoveToPosAtSpeed", speeds);
        return Driver::MoveToPosAtSpeedImpl(targets, speeds);
    }
    int MoveFreeImpl(const SpeedMap& speeds) override
    {
        CheckSpeeds("MoveFree", speeds);
        for (const auto& entry : speeds)
            CheckUnbounded("MoveFree", entry.first);
        return Driver::MoveFreeImpl(speeds);
    }
    int GotoUpperLimitImpl(const typename Driver::Axes& axes) override
    {
        for (int axis : axes)
            CheckUnbounded("GotoUpperLimit", axis);
        return Driver::GotoUpperLimitImpl(axes);
    }
    int GotoLowerLimitImpl(const typename Driver::Axes& axes) override
    {
        for (int axis : axes)
            CheckUnbounded("GotoLowerLimit", axis);
        return Driver::GotoLowerLimitImpl(axes);
    }

private:
    void CheckTargets(const char* slot, const TickMap& targets)
    {
        for (const auto& [axis, target] : targets)
            CheckAxis(slot, axis, &target);
    }

    void CheckSpeeds(const char* slot, const SpeedMap& speeds)
    {
        for (const auto& [axis, speed] : speeds)
            if (!(std::isfinite(speed) && speed != 0.0))
                Violation(slot, axis, "speed not finite and positive", std::to_string(speed));
    }

    // A run that goes on to the end switches: only enabled axes in limit-setting mode may get it.
    void CheckUnbounded(const char* slot, int axis)
    {
        CheckAxis(slot, axis, nullptr);
        bool settingLimits = false;
        stg::ReadAxisProperty(*this, axis, stg::c_propModeSetLimit, settingLimits);
        if (!settingLimits && this->AreLimitsDefined(&axis))
            Violation(slot, axis, "run past the limits in force");
    }

    // Expects the stage lock held (every slot runs under it).
    void CheckAxis(const char* slot, int axis, const std::int64_t* target)
    {
        bool enabled = false;
        if (stg::ReadAxisProperty(*this, axis, stg::c_propAxisEnabled, enabled) != stg::c_OK || !enabled)
            return Violation(slot, axis, "axis not enabled");
        bool settingLimits = false;
        stg::ReadAxisProperty(*this, axis, stg::c_propModeSetLimit, settingLimits);
        if (settingLimits)
            return;
        std::int64_t lower = 0, upper = 0;
        if (!this->AreLimitsDefined(&axis) || this->GetAxisLimits(axis, lower, upper) != stg::c_OK)
            return Violation(slot, axis, "axis without limits");
        if (target && (*target < lower || *target > upper))
            Violation(slot, axis, "target outside the limits",
                      std::to_string(*target) + " not in [" + std::to_string(lower) + ", " + std::to_string(upper) +
                          "]");
    }

    void Violation(const char* slot, int axis, const char* what, const std::string& detail = {})
    {
        ++g_guardReport.violations;
        const std::string kind = std::to_string(this->GetStageID()) + slot + what;
        {
            std::lock_guard<std::mutex> lock(g_guardReport.mutex);
            if (!g_guardReport.printed.insert(kind).second && !g_guardReport.abortOnViolation)
                return;
        }
        std::fprintf(stderr, "INVARIANT BROKEN: stage %u, %s reached the driver for axis %d: %s%s%s\n",
                     static_cast<unsigned>(this->GetStageID()), slot, axis, what, detail.empty() ? "" : " ",
                     detail.c_str());
        if (g_guardReport.abortOnViolation)
            std::abort();
    }
};

} // namespace stgtest
