#include <plinth/CPrecision.h>

#include <cmath>

#include <plinth/driver/PropertyIDs.h>

#include "CStageConfig.h"
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
    const Hold held(m_medium.GetLowLevel());
    if (const detail::CStageConfig* config = m_medium.Config(held))
        return config->swBacklash;
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
    const Hold held(m_medium.GetLowLevel());
    AddBacklashOffsetTo(result, held);
    return result;
}

// The corrections read their settings from the stage's configuration snapshot under `held`, or
// through the driver's slots when it declared read-through.

void CPrecision::AddBacklashOffsetTo(TickMap& positions, const Hold& held)
{
    const detail::CStageConfig* config = m_medium.Config(held);
    if (!(config ? config->swBacklash : isSWBacklashActive()))
        return;
    for (auto& [axis, ticks] : positions) {
        if (Direction(axis) >= 0)
            continue;
        std::int64_t offset = 0;
        if (config) {
            const detail::CStageConfig::tAxis* entry = config->Axis(axis);
            offset = entry ? entry->swBacklash : 0;
        } else {
            ReadAxisProperty(m_medium.GetLowLevel(), held, axis, c_propOffsetSWBL, offset);
        }
        ticks = detail::AddTicks(ticks, offset);
    }
}

CPrecision::TickMap CPrecision::TransformXY(const TickMap& in, bool toOrtho) const
{
    TickMap out = in;
    const Hold held(m_medium.GetLowLevel());
    TransformXYIn(out, toOrtho, held);
    return out;
}

void CPrecision::TransformXYIn(TickMap& positions, bool toOrtho, const Hold& held) const
{
    const CLowLevelStage& stage = m_medium.GetLowLevel();
    const detail::CStageConfig* config = m_medium.Config(held);
    bool enabled = false;
    if (config)
        enabled = config->nonOrtho;
    else if (ReadStageProperty(stage, held, c_propNonOrthoEnable, enabled) != c_OK)
        enabled = false;
    if (!enabled)
        return;
    const int x = config ? config->AxisFromType(eAxisX) : m_medium.GetAxisFromType(held, eAxisX);
    const int y = config ? config->AxisFromType(eAxisY) : m_medium.GetAxisFromType(held, eAxisY);
    if (x == -1 || y == -1) {
        positions.clear();
        return;
    }

    double angleDeg = c_defaultAngleDeg;
    if (config)
        angleDeg = config->angleDeg;
    else
        ReadStageProperty(stage, held, c_propAngleXY, angleDeg);
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

int CPrecision::ReadCorrected()
{
    // What the stage reports, then corrected in place, under one hold of the stage lock (taken
    // after this object's). The map keeps its entries from one read to the next while the stage
    // has the same axes, so that a read allocates nothing.
    const CLowLevelStage& stage = m_medium.GetLowLevel();
    const Hold held(stage);
    bool sameAxes = m_corrected.size() == stage.GetAxisCount();
    auto entry = m_corrected.begin();
    stage.ForEachAxis([&](int axis) { sameAxes = sameAxes && (entry++)->first == axis; });
    if (!sameAxes) {
        m_corrected.clear();
        stage.ForEachAxis([&](int axis) { m_corrected[axis] = 0; });
    }
    const int rc = m_medium.GetPosition(m_corrected, eAllAxes);
    if (rc != c_OK)
        return rc;
    AddBacklashOffsetTo(m_corrected, held);
    TransformXYIn(m_corrected, true, held);
    return rc;
}

int CPrecision::readPosition(TickMap& positions, const ESelection& selection)
{
    const int rc = ReadCorrected();
    if (rc != c_OK)
        return rc;
    if (selection == eAllAxes) {
        positions = m_corrected;
    } else {
        for (auto& [axis, ticks] : positions) {
            auto it = m_corrected.find(axis);
            ticks = it == m_corrected.end() ? 0 : it->second;
        }
    }
    return rc;
}

int CPrecision::GetPositions(const int* axes, std::int64_t* ticks, std::size_t count)
{
    Lock lock(m_lock);
    const int rc = ReadCorrected();
    for (std::size_t i = 0; rc == c_OK && i < count; ++i) {
        auto it = m_corrected.find(axes[i]);
        ticks[i] = it == m_corrected.end() ? 0 : it->second;
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
