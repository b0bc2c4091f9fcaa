#pragma once

#include <cstdint>
#include <functional>

#include <boost/any.hpp>

namespace utl {

using EventCallback = std::function<void(const boost::any& message)>;
using EventToken = std::uint64_t; // 0 is never a valid token

// Answers a new event ID, different from every ID answered before in this process.
unsigned int CreateEventID();

// Delivers `message` to every subscriber of `eventID`, synchronously on the calling thread, in the
// order of subscription, before it returns. No lock of the event service is held while a callback
// runs: a callback may fire further events, subscribe or unsubscribe (itself included) without
// deadlock. A subscriber added during delivery first hears the next event; one removed during
// delivery is not called afterwards. An exception from a callback passes to the firing caller and
// the remaining subscribers of that event are skipped.
void FireEvent(unsigned int eventID, const boost::any& message);

// Subscribes `callback` to `eventID`; the token ends the subscription.
EventToken SubscribeEvent(unsigned int eventID, EventCallback callback);

// Ends a subscription; true when the token was subscribed. Once it returns, the callback is not
// called again and no call of it is running on another thread: it waits for such calls to return,
// so an object may end its subscription in its destructor. A callback may end its own
// subscription. Do not end a subscription while holding a lock that its callback may be waiting
// for on another thread (a stage's lock, say): that wait would never end.
bool UnsubscribeEvent(EventToken token);

// Whether `eventID` has a subscriber at this moment (one may come or go right after): lets a
// source skip work whose only use is an event nobody hears.
bool HasSubscribers(unsigned int eventID);

} // namespace utl
