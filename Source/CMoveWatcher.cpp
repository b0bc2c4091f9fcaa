#include "CMoveWatcher.h"

#include <pthread.h>

#include <plinth/CMediumLevelStage.h>
#include <plinth/StageEvents.h>
#include <plinth/detail/CEventDeferral.h>
#include <plinth/driver/PropertyAccess.h>
#include <plinth/driver/PropertyIDs.h>
#include <plinth/tSTAGEMSG.h>
#include <utl/Events.h>

#include "TickMath.h"

namespace stg {

CMoveWatcher::CMoveWatcher(CMediumLevelStage& medium) : m_medium(medium), m_stageID(medium.GetLowLevel().GetStageID())
{
}

void CMoveWatcher::Retire()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (!m_thread.joinable())
        return;
    // Retired from its own thread (a subscriber released the last hold of the stage): the thread
    // holds this object and ends as soon as its callback returns, touching the stage no more.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

CMoveWatcher::~CMoveWatcher()
{
    if (m_thread.joinable())
        m_thread.detach(); // only the watcher's own thread drops the last reference unretired
}

std::uint64_t CMoveWatcher::Started(const Axes& axes, bool blocking)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    // Nobody listens: no thread, and no calls into the driver besides the mover's own. A subscriber
    // hears the moves that start after it subscribed.
    if (!utl::HasSubscribers(GetStageEventID()))
        return ++m_serial;
    m_pending =
        tMove{++m_serial, axes, blocking, !blocking && m_medium.HasWorker(), m_medium.GetLowLevel().GetStopCount()};
    m_watchedSerial = m_serial;
    if (!m_running && !m_quit) {
        // The previous thread has cleared m_running as its last step under this lock: joining
        // it waits only for its return.
        if (m_thread.joinable())
            m_thread.join();
        m_running = true;
        m_thread = std::thread([self = shared_from_this()] { self->Run(); });
    }
    m_wake.notify_all();
    return m_serial;
}

void CMoveWatcher::Ended(std::uint64_t serial, int result, const TickMap& positions)
{
    // Converted here, on the mover's thread, so that the watcher never calls into the driver once
    // a blocking move has returned to its caller. A move nobody watched needs none.
    bool watched = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        watched = serial == m_watchedSerial;
    }
    std::vector<tSTAGEMSG> samples;
    if (watched)
        samples = Samples(positions);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_endedSerial = serial;
        m_endedResult = result;
        m_endedSamples = std::move(samples);
    }
    m_wake.notify_all();
}

void CMoveWatcher::Fire(int msgID, int axis, int result) const
{
    tSTAGEMSG message(msgID, m_stageID, axis);
    message.result = result;
    try {
        CEventDeferral::Fire(message); // no deferral open on this thread: delivered at once
    } catch (...) {
        // A subscriber's exception has no caller to go to on this thread.
    }
}

void CMoveWatcher::Sample(const Axes& axes)
{
    TickMap ticks;
    for (int axis : axes)
        ticks[axis] = 0;
    // Straight from the driver: the medium level's read would run its moving check, which takes an
    // ended worker out of its record.
    if (m_medium.GetLowLevel().GetPosition(ticks, eGivenAxes) == c_OK)
        FireAll(Samples(ticks));
}

std::vector<tSTAGEMSG> CMoveWatcher::Samples(const TickMap& ticks)
{
    std::vector<tSTAGEMSG> samples;
    CLowLevelStage& stage = m_medium.GetLowLevel();
    // The stage access's conversion: calibration, direction and offset under one hold.
    const CLowLevelStage::CHold held(stage);
    for (const auto& [axis, tick] : ticks) {
        tSTAGEMSG message(c_msgPositionSample, m_stageID, axis);
        utl::TUnitValue<double> calibration(1.0, utl::c_mum);
        if (m_medium.GetCalibration(held, axis, calibration) != c_OK)
            continue;
        bool inverted = false;
        ReadAxisProperty(stage, held, axis, c_propAxisInverted, inverted);
        std::int64_t offset = 0;
        std::int64_t position = inverted ? detail::NegateTicks(tick) : tick;
        if (ReadAxisProperty(stage, held, axis, c_propOffsetPosition, offset) == c_OK)
            position = detail::AddTicks(position, offset);
        message.position =
            utl::TUnitValue<double>(static_cast<double>(position) * calibration.GetValue(), calibration.GetUnit());
        samples.push_back(message);
    }
    return samples;
}

void CMoveWatcher::FireAll(const std::vector<tSTAGEMSG>& messages)
{
    for (const tSTAGEMSG& message : messages) {
        try {
            CEventDeferral::Fire(message);
        } catch (...) {
            // As in Fire.
        }
    }
}

bool CMoveWatcher::StillMoving(const tMove& move, int& result)
{
    // Neither asks the medium level, whose moving check would take an ended worker out of its
    // record, which the mover's own wait still needs.
    if (move.emulated) {
        result = m_medium.GetLastEmulatedMoveResult();
        return result == c_Busy;
    }
    if (m_medium.GetLowLevel().IsMoving(move.axes))
        return true;
    result = m_medium.GetLowLevel().GetStopCount() != move.stopCount ? c_Stopped : c_OK;
    return false;
}

void CMoveWatcher::Run()
{
    pthread_setname_np(pthread_self(), "Stage watcher");
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<tMove> current;
    auto nextSample = std::chrono::steady_clock::now();
    while (!m_quit) {
        if (m_pending) {
            const std::optional<tMove> replaced = std::move(current);
            current = std::move(m_pending);
            m_pending.reset();
            lock.unlock();
            if (replaced) {
                Sample(replaced->axes);
                Fire(c_msgMoveFinished, -1, c_Stopped);
            }
            Fire(c_msgMoveStarted, -1, c_OK);
            lock.lock();
            // The first sample one interval in: at most 20 per second, the final one apart.
            nextSample = std::chrono::steady_clock::now() + c_sampleInterval;
            continue;
        }
        if (!current)
            break;
        const bool ended = current->blocking && m_endedSerial == current->serial;
        int result = m_endedResult;
        // A blocking move keeps the driver to itself: its caller reports where it ended.
        if (current->blocking && !ended) {
            m_wake.wait(lock, [&] { return m_quit || m_pending || m_endedSerial == current->serial; });
            continue;
        }
        if (ended) {
            const std::vector<tSTAGEMSG> samples = std::move(m_endedSamples);
            current.reset();
            lock.unlock();
            FireAll(samples);
            Fire(c_msgMoveFinished, -1, result);
            lock.lock();
            continue;
        }
        if (std::chrono::steady_clock::now() < nextSample) {
            m_wake.wait_until(lock, nextSample, [&] { return m_quit || m_pending.has_value(); });
            continue;
        }
        const tMove move = *current;
        lock.unlock();
        const bool moving = StillMoving(move, result);
        Sample(move.axes);
        if (!moving)
            Fire(c_msgMoveFinished, -1, result);
        lock.lock();
        nextSample += c_sampleInterval;
        if (const auto now = std::chrono::steady_clock::now(); nextSample < now)
            nextSample = now + c_sampleInterval;
        if (!moving && current && current->serial == move.serial)
            current.reset();
    }
    m_running = false;
}

} // namespace stg
