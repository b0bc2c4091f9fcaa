#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include <pybind11/pybind11.h>

#include <utl/Events.h>

namespace plinthpy {

// One subscription of a Python callable to the stage events, optionally of one stage only.
//
// The library fires events on whatever thread changed something: a Python thread that released
// the GIL for the call, or a thread Python has never seen. Delivery takes the GIL for the call of
// the callable and for nothing else; an exception of the callable is reported through
// sys.unraisablehook and goes no further (it must not unwind through the library). Once the
// interpreter is finalising, events are dropped without touching Python.
//
// Close() ends the subscription: it waits (with the GIL released, because a delivery in progress
// may be waiting for the GIL) until no delivery runs, then drops the callable. The destructor
// closes as well, so a subscription that Python collects ends by itself.
class CPySubscription {
public:
    // Expects the GIL held. `stageID` negative: every stage. The callable gets (kind, stage, axis),
    // with `details` also (result, position, unit symbol): the move events' outcome and samples.
    CPySubscription(pybind11::function callback, std::int64_t stageID, bool details = false);
    ~CPySubscription(); // NOLINT(bugprone-exception-escape): see the definition
    CPySubscription(const CPySubscription&) = delete;
    CPySubscription& operator=(const CPySubscription&) = delete;

    // Expects the GIL held; a second call does nothing.
    void Close();
    // Closes every open subscription and drops every later event. Expects the GIL held; once it
    // returns no delivery runs or starts.
    static void CloseAll();
    bool IsOpen() const noexcept { return m_token != 0; }

private:
    // Shared with the event service's copy of the delivery function, which may outlive this
    // object on a firing thread: it holds the callable only while the subscription is open, and
    // the callable is only touched with the GIL held.
    struct tTarget {
        pybind11::object callback;
    };

    // The open subscriptions, for CloseAll; guarded by the GIL.
    static std::set<CPySubscription*> ms_open;

    std::shared_ptr<tTarget> m_target;
    utl::EventToken m_token = 0;
};

} // namespace plinthpy
