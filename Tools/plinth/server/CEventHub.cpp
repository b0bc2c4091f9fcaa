#include "CEventHub.h"

#include <algorithm>

#include <plinth/tSTAGEMSG.h>
#include <utl/CUnit.h>

namespace plinthcli {
namespace {

plinth::v1::Event::Kind KindOf(int msgID)
{
    using plinth::v1::Event;
    switch (msgID) {
    case stg::c_msgLimitsChanged:
        return Event::LIMITS_CHANGED;
    case stg::c_msgCalibrationChanged:
        return Event::CALIBRATION_CHANGED;
    case stg::c_msgUserControlOn:
        return Event::USER_CONTROL_ON;
    case stg::c_msgUserControlOff:
        return Event::USER_CONTROL_OFF;
    case stg::c_msgInitRangesBegin:
        return Event::RANGE_SEARCH_BEGIN;
    case stg::c_msgInitRangesEnd:
        return Event::RANGE_SEARCH_END;
    case stg::c_msgMoveStarted:
        return Event::MOVE_STARTED;
    case stg::c_msgMoveFinished:
        return Event::MOVE_FINISHED;
    case stg::c_msgPositionSample:
        return Event::POSITION_SAMPLE;
    default:
        return Event::KIND_UNSPECIFIED;
    }
}

} // namespace

CEventHub::CEventHub(std::map<std::uint32_t, std::map<int, std::string>> axisLabels)
    : m_axisLabels(std::move(axisLabels))
{
    m_token = utl::SubscribeEvent(stg::GetStageEventID(), [this](const boost::any& message) { Deliver(message); });
}

CEventHub::~CEventHub() { utl::UnsubscribeEvent(m_token); }

std::shared_ptr<CEventHub::tSubscriber> CEventHub::Add(std::uint32_t stageID)
{
    auto subscriber = std::make_shared<tSubscriber>();
    subscriber->stageID = stageID;
    const std::lock_guard<std::mutex> lock(m_mutex);
    subscriber->closed = m_closed;
    m_subscribers.push_back(subscriber);
    return subscriber;
}

void CEventHub::Remove(const std::shared_ptr<tSubscriber>& subscriber)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_subscribers.erase(std::remove(m_subscribers.begin(), m_subscribers.end(), subscriber), m_subscribers.end());
}

void CEventHub::CloseAll()
{
    std::vector<std::shared_ptr<tSubscriber>> subscribers;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        subscribers = m_subscribers;
    }
    for (const auto& subscriber : subscribers) {
        {
            const std::lock_guard<std::mutex> lock(subscriber->mutex);
            subscriber->closed = true;
        }
        subscriber->ready.notify_all();
    }
}

bool CEventHub::Next(tSubscriber& subscriber, plinth::v1::Event& event, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(subscriber.mutex);
    subscriber.ready.wait_for(lock, timeout, [&] { return subscriber.closed || !subscriber.queue.empty(); });
    if (subscriber.queue.empty())
        return false;
    event = std::move(subscriber.queue.front());
    subscriber.queue.pop_front();
    return true;
}

void CEventHub::Deliver(const boost::any& message)
{
    const auto* msg = boost::any_cast<stg::tSTAGEMSG>(&message);
    if (msg == nullptr)
        return;
    const auto labels = m_axisLabels.find(msg->stageID);
    if (labels == m_axisLabels.end())
        return; // not a served stage
    plinth::v1::Event event;
    event.set_kind(KindOf(msg->msgID));
    event.set_stage_id(msg->stageID);
    event.set_library_id(msg->msgID);
    if (msg->axis >= 0) {
        const auto label = labels->second.find(msg->axis);
        event.set_axis(label != labels->second.end() ? label->second : std::to_string(msg->axis));
    }
    if (msg->msgID == stg::c_msgMoveFinished)
        event.set_result(msg->result);
    if (msg->msgID == stg::c_msgPositionSample) {
        try {
            event.set_position_um(msg->position.In(utl::c_mum).GetValue());
        } catch (const std::exception&) {
            event.set_position_um(msg->position.GetValue()); // not a length (a rotary axis): as it is
        }
    }
    event.set_time_us(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());

    std::vector<std::shared_ptr<tSubscriber>> subscribers;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        subscribers = m_subscribers;
    }
    for (const auto& subscriber : subscribers) {
        if (subscriber->stageID != 0 && subscriber->stageID != msg->stageID)
            continue;
        {
            const std::lock_guard<std::mutex> lock(subscriber->mutex);
            if (subscriber->queue.size() >= c_maxQueued)
                subscriber->queue.pop_front();
            subscriber->queue.push_back(event);
        }
        subscriber->ready.notify_all();
    }
}

} // namespace plinthcli
