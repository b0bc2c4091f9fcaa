#pragma once

namespace stg {

struct tSTAGEMSG;

// Holds back the stage events fired on a thread while that thread holds a library lock (a stage
// lock or a precision lock) and delivers them on the same thread, in the order fired, as soon as
// it holds none. So no subscriber ever runs under a library lock: a subscriber may call into any
// stage, the firing one included and in precision mode, and different stages never wait for each
// other through their subscribers.
//
// Every scope that takes a library lock opens a deferral before the lock and closes it after the
// lock is released (CLibraryLock does both); the outermost deferral of the thread delivers. An
// operation that fires therefore delivers its events before it returns, unless its caller holds a
// library lock, in which case they come when that caller lets go of its last one. Subscribers'
// own calls may fire again; their events join the same queue and keep the order.
class CEventDeferral {
public:
    // What the outermost deferral does with an exception of a subscriber.
    enum class ESubscriberError {
        ePass, // to the caller (the events still queued are dropped), as utl::FireEvent does
        eDrop, // swallowed, for threads of the library's own, which have no caller to tell
    };

    explicit CEventDeferral(ESubscriberError onError = ESubscriberError::ePass) noexcept;
    // While an exception is on its way (out of the scope, or through a destructor the scope runs in),
    // subscribers' exceptions are dropped.
    ~CEventDeferral() noexcept(false);
    CEventDeferral(const CEventDeferral&) = delete;
    CEventDeferral& operator=(const CEventDeferral&) = delete;

    // Fires `message` under the stage event ID: at once when the calling thread has no deferral
    // open, otherwise when its outermost deferral closes.
    static void Fire(const tSTAGEMSG& message);

private:
    ESubscriberError m_onError;
};

} // namespace stg
