#include <plinth/CPrecision.h>

#include <cmath>

#include <plinth/driver/PropertyIDs.h>

#include "ReusedMap.h"
#include "TickMath.h"

namespace stg {

using detail::TruncToTicks;

namespace {
constexpr double c_twoPi = 6.283185307179586;
constexpr double c_perDegree = 0.002777777777777778; // 1/360
constexpr double c_defaultAngleDeg = 90.0;
} // namespace

CPrecision::CPrecision(CMediumLevelStage& medium) : m_medium(medium) {}

CPrecision::~CPrecision() = default;

bool CPrecision::ReadStageBool(int propID, bool& value) const
{
    return ReadStageProperty(m_medium.GetLowLevel(), propID, value) == c_OK;
}

bool CPrecision::isSWBacklashActive() const
{
    bool backlash = false;
    bool hardware = false;
    return ReadStageBool(c_propBacklashEnable, backlash) && ReadStageBool(c_propUseHWBacklash, hardware) && backlash &&
           !hardware;
}

std::int32_t CPrecision::Direction(int axis)
{
    Lock lock(m_lock);
    return m_directions[axis];
}

CPrecision::TickMap CPrecision::addBacklashOffset(const TickMap& positions)
{
    TickMap result = positions;
    AddBacklashOffsetTo(result);
    return result;
}

void CPrecision::AddBacklashOffsetTo(TickMap& positions)
{
    if (!isSWBacklashActive())
        return;
    for (auto& [axis, ticks] : positions) {
        if (Direction(axis) >= 0)
            continue;
        std::int64_t offset = 0;
        ReadAxisProperty(m_medium.GetLowLevel(), axis, c_propOffsetSWBL, offset);
        ticks = detail::AddTicks(ticks, offset);
    }
}

CPrecision::TickMap CPrecision::TransformXY(const TickMap& in, bool toOrtho) const
{
    TickMap out = in;
    TransformXYIn(out, toOrtho);
    return out;
}

void CPrecision::TransformXYIn(TickMap& positions, bool toOrtho) const
{
    bool enabled = false;
    if (!ReadStageBool(c_propNonOrthoEnable, enabled) || !enabled)
        return;
    const int x = m_medium.GetAxisFromType(eAxisX);
    const int y = m_medium.GetAxisFromType(eAxisY);
    if (x == -1 || y == -1) {
        positions.clear();
        return;
    }

    double angleDeg = c_defaultAngleDeg;
    ReadStageProperty(m_medium.GetLowLevel(), c_propAngleXY, angleDeg);
    const double a = angleDeg * c_twoPi * c_perDegree;

    const auto valueOf = [&](int axis) {
        auto it = positions.find(axis);
        return it == positions.end() ? 0.0 : static_cast<double>(it->second);
    };
    const double inX = valueOf(x);
    const double inY = valueOf(y);
    if (toOrtho) {
        positions[y] = TruncToTicks(std::cos(a) * inY);
        positions[x] = TruncToTicks(inX - std::sin(a) * inY);
    } else {
        if (std::cos(a) == 0.0)
            return;
        const std::int64_t outY = TruncToTicks(inY / std::cos(a));
        positions[y] = outY;
        positions[x] = TruncToTicks(inX + std::sin(a) * static_cast<double>(outY));
    }
}

CPrecision::TickMap CPrecision::cvtStageToOrtho(const TickMap& stage) const { return TransformXY(stage, true); }

CPrecision::TickMap CPrecision::cvtOrthoToStage(const TickMap& ortho) const { return TransformXY(ortho, false); }

int CPrecision::readPosition(TickMap& positions, const ESelection& selection)
{
    // What the stage reports, then corrected in place: a map of the thread's, refilled with the
    // stage's axes, so that a read allocates nothing once the thread has read before.
    detail::CReusedMap<TickMap> reused;
    TickMap& corrected = reused.Get();
    detail::Refill(corrected,
                   [&](const auto& put) { m_medium.GetLowLevel().ForEachAxis([&](int axis) { put(axis, 0); }); });
    const int rc = m_medium.GetPosition(corrected, eAllAxes);
    if (rc != c_OK)
        return rc;
    AddBacklashOffsetTo(corrected);
    TransformXYIn(corrected, true);
    if (selection == eAllAxes) {
        positions = corrected;
    } else {
        for (auto& [axis, ticks] : positions) {
            auto it = corrected.find(axis);
            ticks = it == corrected.end() ? 0 : it->second;
        }
    }
    return rc;
}

CPrecision::TickMap CPrecision::applyBacklash(const TickMap& from, const TickMap& to, bool record)
{
    Lock lock(m_lock);
    TickMap current = from;
    TickMap targets = to;
    if (!isSWBacklashActive())
        return targets;
    for (const auto& entry : targets) {
        if (current.count(entry.first) == 0) {
            current = targets;
            readPosition(current, eGivenAxes);
            break;
        }
    }
    for (auto& [axis, target] : targets) {
        const std::int32_t direction = detail::Direction32(current[axis], target);
        if (record && direction != 0)
            m_directions[axis] = direction;
        if (Direction(axis) < 0) {
            std::int64_t offset = 0;
            ReadAxisProperty(m_medium.GetLowLevel(), axis, c_propOffsetSWBL, offset);
            target = detail::SubTicks(target, offset);
        }
    }
    return targets;
}

int CPrecision::GetPosition(TickMap& positions, const ESelection& selection)
{
    Lock lock(m_lock);
    return readPosition(positions, selection);
}

int CPrecision::CheckAngle() const
{
    bool enabled = false;
    double angleDeg = c_defaultAngleDeg;
    if (ReadStageBool(c_propNonOrthoEnable, enabled) && enabled &&
        ReadStageProperty(m_medium.GetLowLevel(), c_propAngleXY, angleDeg) == c_OK && !std::isfinite(angleDeg))
        return c_InvalidValue;
    return c_OK;
}

int CPrecision::MoveToPos(const TickMap& targets)
{
    Lock lock(m_lock);
    int rc = CheckAngle();
    if (rc != c_OK)
        return rc;
    TickMap current;
    rc = readPosition(current, eAllAxes);
    if (rc != c_OK)
        return rc;
    return m_medium.MoveToPos(applyBacklash(current, cvtOrthoToStage(targets), true));
}

int CPrecision::SetPosition(const TickMap& targets)
{
    Lock lock(m_lock);
    int rc = CheckAngle();
    if (rc != c_OK)
        return rc;
    TickMap current;
    rc = readPosition(current, eAllAxes);
    if (rc != c_OK)
        return rc;
    TickMap wanted = current;
    for (const auto& [axis, target] : targets)
        wanted[axis] = target;
    return m_medium.SetPosition(applyBacklash(current, cvtOrthoToStage(wanted), true));
}

} // namespace stg
