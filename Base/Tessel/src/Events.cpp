#include <utl/Events.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace utl {
namespace {

struct tSubscription {
    EventToken token = 0;
    unsigned int eventID = 0;
    EventCallback callback;

    // Guards the two members below; never held while the callback runs.
    std::mutex mutex;
    std::condition_variable left; // a call of the callback has returned
    bool active = true;
    std::vector<std::thread::id> callers; // threads inside the callback now (nested calls repeat)

    void Deliver(const boost::any& message)
    {
        const std::thread::id self = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!active)
                return;
            callers.push_back(self);
        }
        struct tLeave {
            tSubscription& subscription;
            std::thread::id self;
            ~tLeave()
            {
                {
                    std::lock_guard<std::mutex> lock(subscription.mutex);
                    auto& inside = subscription.callers;
                    inside.erase(std::find(inside.begin(), inside.end(), self));
                }
                subscription.left.notify_all();
            }
        } leave{*this, self};
        callback(message);
    }

    // Stops further calls and waits for the calls running on other threads; the calling thread's
    // own calls (a callback that ends its own subscription) are not waited for.
    void Deactivate()
    {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(mutex);
        active = false;
        left.wait(lock,
                  [&] { return std::all_of(callers.begin(), callers.end(), [&](auto id) { return id == self; }); });
    }
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
        SubscriptionPtr subscription;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto found = m_byToken.find(token);
            if (found == m_byToken.end())
                return false;
            auto& list = m_byEvent[found->second];
            auto it =
                std::find_if(list.begin(), list.end(), [&](const SubscriptionPtr& s) { return s->token == token; });
            if (it != list.end()) {
                subscription = *it;
                list.erase(it);
            }
            if (list.empty())
                m_byEvent.erase(found->second);
            m_byToken.erase(found);
        }
        // Outside the service's lock: the callbacks being waited for may use the service.
        if (subscription)
            subscription->Deactivate();
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
        subscription->Deliver(message);
}

EventToken SubscribeEvent(unsigned int eventID, EventCallback callback)
{
    return Service().Subscribe(eventID, std::move(callback));
}

bool UnsubscribeEvent(EventToken token) { return Service().Unsubscribe(token); }

} // namespace utl
