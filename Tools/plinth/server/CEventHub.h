#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <plinth/v1/stage.pb.h>
#include <utl/Events.h>

namespace plinthcli {

// Hands the library's stage and move events of the served stages to the server's subscribers:
// each subscriber has its own queue, filled by the library's event callback (on whichever thread
// fired, never under a library lock) and emptied by the call that streams it. A queue keeps at
// most c_maxQueued events; beyond that the oldest are dropped (a client that does not read).
class CEventHub {
public:
    static constexpr std::size_t c_maxQueued = 4096;

    struct tSubscriber {
        std::uint32_t stageID = 0; // 0: every stage
        std::mutex mutex;          // guards the members below
        std::condition_variable ready;
        std::deque<plinth::v1::Event> queue;
        bool closed = false;
    };

    // `axisLabels`: per stage, the name of each axis in the events ("X", or the number).
    explicit CEventHub(std::map<std::uint32_t, std::map<int, std::string>> axisLabels);
    // Ends the library subscription (waits for a delivery under way).
    ~CEventHub();
    CEventHub(const CEventHub&) = delete;
    CEventHub& operator=(const CEventHub&) = delete;

    std::shared_ptr<tSubscriber> Add(std::uint32_t stageID);
    void Remove(const std::shared_ptr<tSubscriber>& subscriber);
    // Closes every queue, so that the streams end (the server is stopping).
    void CloseAll();
    // Waits up to `timeout` for the next event of `subscriber`: false when none came or the queue
    // is closed and empty.
    static bool Next(tSubscriber& subscriber, plinth::v1::Event& event, std::chrono::milliseconds timeout);

private:
    void Deliver(const boost::any& message);

    const std::map<std::uint32_t, std::map<int, std::string>> m_axisLabels; // fixed at construction
    std::mutex m_mutex; // guards m_subscribers and m_closed; held for a look-up, never while firing
    std::vector<std::shared_ptr<tSubscriber>> m_subscribers;
    bool m_closed = false;
    utl::EventToken m_token = 0;
};

} // namespace plinthcli
