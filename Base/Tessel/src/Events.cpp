#include <utl/Events.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace utl {
namespace {

struct tSubscription {
    EventToken token;
    unsigned int eventID;
    EventCallback callback;
    std::atomic<bool> active{true};
};
using SubscriptionPtr = std::shared_ptr<tSubscription>;

// Subscriptions per event ID. Delivery copies the list under the mutex and calls the callbacks
// after releasing it; that is what lets a callback fire, subscribe or unsubscribe.
class CEventService {
public:
    unsigned int CreateID() { return m_nextID.fetch_add(1) + 1; }

    std::vector<SubscriptionPtr> Subscribers(unsigned int eventID)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_byEvent.find(eventID);
        return it == m_byEvent.end() ? std::vector<SubscriptionPtr>() : it->second;
    }

    EventToken Subscribe(unsigned int eventID, EventCallback callback)
    {
        auto subscription = std::make_shared<tSubscription>();
        subscription->eventID = eventID;
        subscription->callback = std::move(callback);
        std::lock_guard<std::mutex> lock(m_mutex);
        subscription->token = ++m_lastToken;
        m_byEvent[eventID].push_back(subscription);
        m_byToken[subscription->token] = eventID;
        return subscription->token;
    }

    bool Unsubscribe(EventToken token)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_byToken.find(token);
        if (found == m_byToken.end())
            return false;
        auto& list = m_byEvent[found->second];
        auto it = std::find_if(list.begin(), list.end(), [&](const SubscriptionPtr& s) { return s->token == token; });
        if (it != list.end()) {
            (*it)->active = false;
            list.erase(it);
        }
        if (list.empty())
            m_byEvent.erase(found->second);
        m_byToken.erase(found);
        return true;
    }

private:
    std::atomic<unsigned int> m_nextID{0};
    std::mutex m_mutex;
    EventToken m_lastToken = 0;
    std::map<unsigned int, std::vector<SubscriptionPtr>> m_byEvent;
    std::map<EventToken, unsigned int> m_byToken;
};

CEventService& Service()
{
    static CEventService service; // constructed on first use, also from static initialisers
    return service;
}

} // namespace

unsigned int CreateEventID() { return Service().CreateID(); }

void FireEvent(unsigned int eventID, const boost::any& message)
{
    for (const auto& subscription : Service().Subscribers(eventID))
        if (subscription->active)
            subscription->callback(message);
}

EventToken SubscribeEvent(unsigned int eventID, EventCallback callback)
{
    return Service().Subscribe(eventID, std::move(callback));
}

bool UnsubscribeEvent(EventToken token) { return Service().Unsubscribe(token); }

} // namespace utl
