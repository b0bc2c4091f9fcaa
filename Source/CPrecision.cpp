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
} // namespace

CPrecision::CPrecision(CMediumLevelStage& medium) : m_medium(medium) {}

CPrecision::~CPrecision() = default;

// The corrections take their settings from the stage's configuration snapshot under a hold of
// the stage lock (taken after this object's lock).

std::int64_t CPrecision::BacklashOffset(const Hold& held, int axis) const
{
    const detail::CStageConfig::tAxis* entry = m_medium.Config(held).Axis(axis);
    return entry ? entry->swBacklash : 0;
}

std::int32_t CPrecision::Direction(int axis)
{
    Lock lock(m_lock);
    return m_directions[axis];
}

void CPrecision::AddBacklashOffsetTo(TickMap& positions, const Hold& held)
{
    if (!m_medium.Config(held).swBacklash)
        return;
    for (auto& [axis, ticks] : positions) {
        if (Direction(axis) < 0)
            ticks = detail::AddTicks(ticks, BacklashOffset(held, axis));
    }
}

void CPrecision::TransformXYIn(TickMap& positions, bool toOrtho, const Hold& held) const
{
    const detail::CStageConfig& config = m_medium.Config(held);
    if (!config.nonOrtho)
        return;
    const int x = config.AxisFromType(eAxisX);
    const int y = config.AxisFromType(eAxisY);
    if (x == -1 || y == -1) {
        positions.clear();
        return;
    }
    const double a = config.angleDeg * c_twoPi * c_perDegree; // 90 degrees when unreadable

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

CPrecision::TickMap CPrecision::cvtOrthoToStage(const TickMap& ortho) const
{
    TickMap stage = ortho;
    const Hold held(m_medium.GetLowLevel());
    TransformXYIn(stage, false, held);
    return stage;
}

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
    const Hold held(m_medium.GetLowLevel());
    TickMap current = from;
    TickMap targets = to;
    if (!m_medium.Config(held).swBacklash)
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
        if (Direction(axis) < 0)
            target = detail::SubTicks(target, BacklashOffset(held, axis));
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
    const Hold held(m_medium.GetLowLevel());
    const detail::CStageConfig& config = m_medium.Config(held);
    return config.nonOrtho && config.angleRead && !std::isfinite(config.angleDeg) ? c_InvalidValue : c_OK;
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
