#include <utl/Events.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace utl {
namespace {

struct tSubscription;

// The deliveries running on this thread, innermost last (a callback that fires an event nests
// one); a subscription ended from inside its own callback does not wait for those.
thread_local std::vector<const tSubscription*> t_delivering;

struct tSubscription {
    EventToken token = 0;
    unsigned int eventID = 0;
    EventCallback callback;

    // Calls of the callback under way on all threads. Delivery counts itself in before it looks
    // at `active`, and Deactivate clears `active` before it looks at the count (both sequentially
    // consistent): either the delivery sees the subscription ended and does not call, or
    // Deactivate sees the call and waits for it.
    std::atomic<int> calls{0};
    std::atomic<bool> active{true};
    // Wakes Deactivate when a call returns after the subscription ended; the mutex is held only
    // for the look at `calls` and the notification.
    std::mutex mutex;
    std::condition_variable left;

    void Deliver(const boost::any& message)
    {
        calls.fetch_add(1);
        struct tLeave {
            tSubscription& subscription;
            ~tLeave()
            {
                subscription.calls.fetch_sub(1);
                if (subscription.active.load())
                    return;
                { // a call of an ended subscription returned: Deactivate may be waiting for it
                    std::lock_guard<std::mutex> lock(subscription.mutex);
                }
                subscription.left.notify_all();
            }
        } leave{*this};
        if (!active.load())
            return;
        t_delivering.push_back(this);
        struct tPop {
            ~tPop() { t_delivering.pop_back(); }
        } pop;
        callback(message);
    }

    // Stops further calls and waits for the calls running on other threads; the calling thread's
    // own calls (a callback that ends its own subscription) are not waited for.
    void Deactivate()
    {
        active.store(false);
        const int own = static_cast<int>(std::count(t_delivering.begin(), t_delivering.end(), this));
        std::unique_lock<std::mutex> lock(mutex);
        left.wait(lock, [&] { return calls.load() <= own; });
    }
};
using SubscriptionPtr = std::shared_ptr<tSubscription>;
// A subscriber list is never changed once published: a change publishes a new list, so delivery
// takes the list with one reference count and no copy.
using SubscriberList = std::shared_ptr<const std::vector<SubscriptionPtr>>;

// Subscriptions per event ID. Delivery takes the event's list under the mutex and calls the
// callbacks after releasing it; that is what lets a callback fire, subscribe or unsubscribe.
class CEventService {
public:
    unsigned int CreateID() { return m_nextID.fetch_add(1) + 1; }

    SubscriberList Subscribers(unsigned int eventID)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_byEvent.find(eventID);
        return it == m_byEvent.end() ? SubscriberList() : it->second;
    }

    EventToken Subscribe(unsigned int eventID, EventCallback callback)
    {
        auto subscription = std::make_shared<tSubscription>();
        subscription->eventID = eventID;
        subscription->callback = std::move(callback);
        std::lock_guard<std::mutex> lock(m_mutex);
        subscription->token = ++m_lastToken;
        SubscriberList& list = m_byEvent[eventID];
        auto changed = list ? std::make_shared<std::vector<SubscriptionPtr>>(*list)
                            : std::make_shared<std::vector<SubscriptionPtr>>();
        changed->push_back(subscription);
        list = std::move(changed);
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
            auto listIt = m_byEvent.find(found->second);
            if (listIt != m_byEvent.end() && listIt->second) {
                auto changed = std::make_shared<std::vector<SubscriptionPtr>>(*listIt->second);
                auto it = std::find_if(changed->begin(), changed->end(),
                                       [&](const SubscriptionPtr& s) { return s->token == token; });
                if (it != changed->end()) {
                    subscription = *it;
                    changed->erase(it);
                }
                if (changed->empty())
                    m_byEvent.erase(listIt);
                else
                    listIt->second = std::move(changed);
            }
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
    std::map<unsigned int, SubscriberList> m_byEvent;
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
    const SubscriberList subscribers = Service().Subscribers(eventID);
    if (subscribers)
        for (const auto& subscription : *subscribers)
            subscription->Deliver(message);
}

EventToken SubscribeEvent(unsigned int eventID, EventCallback callback)
{
    return Service().Subscribe(eventID, std::move(callback));
}

bool UnsubscribeEvent(EventToken token) { return Service().Unsubscribe(token); }

bool HasSubscribers(unsigned int eventID)
{
    const SubscriberList subscribers = Service().Subscribers(eventID);
    return subscribers && !subscribers->empty();
}

} // namespace utl
