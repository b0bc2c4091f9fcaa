#include <utl/Events.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

// Callbacks run on the firing thread; a fault in the locking shows as a deadlock, which the test's
// time-out reports.

namespace {

class Events : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (utl::EventToken token : m_tokens)
            utl::UnsubscribeEvent(token);
    }
    utl::EventToken Subscribe(unsigned int eventID, utl::EventCallback callback)
    {
        return m_tokens.emplace_back(utl::SubscribeEvent(eventID, std::move(callback)));
    }

    const unsigned int m_event = utl::CreateEventID();
    std::vector<utl::EventToken> m_tokens;
};

// An object that ends its subscription in its destructor must not be called afterwards: the
// unsubscribe waits for a call that is running on another thread.
TEST_F(Events, UnsubscribeWaitsForACallOnAnotherThread)
{
    std::promise<void> entered, release;
    std::shared_future<void> released(release.get_future());
    auto alive = std::make_shared<std::atomic<bool>>(true);
    bool calledWhileDead = false;
    const utl::EventToken token = utl::SubscribeEvent(m_event, [&, alive](const boost::any&) {
        entered.set_value();
        released.wait();
        calledWhileDead = !*alive;
    });
    std::thread firer([&] { utl::FireEvent(m_event, boost::any(1)); });
    entered.get_future().wait();
    auto unsubscribed = std::async(std::launch::async, [&] {
        utl::UnsubscribeEvent(token);
        *alive = false; // what a destructor would do next
    });
    EXPECT_EQ(unsubscribed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release.set_value();
    unsubscribed.get();
    firer.join();
    EXPECT_FALSE(calledWhileDead);
}

// A callback that fires the event again and then ends its own subscription: the nested call is
// delivered, the unsubscribe does not wait for the calls of its own thread, and no later fire
// reaches it.
TEST_F(Events, ACallbackEndsItsOwnSubscription)
{
    int calls = 0;
    utl::EventToken token = 0;
    token = utl::SubscribeEvent(m_event, [&](const boost::any& message) {
        ++calls;
        if (boost::any_cast<int>(message) == 1) {
            utl::FireEvent(m_event, 2);
            utl::UnsubscribeEvent(token);
        }
    });
    utl::FireEvent(m_event, 1);
    utl::FireEvent(m_event, 1);
    EXPECT_EQ(calls, 2);
}

// Firing, subscribing and unsubscribing from several threads at once (for TSan). A subscriber
// that stays all along hears every event exactly once; no churning subscription is left behind.
TEST_F(Events, ConcurrentFireSubscribeUnsubscribe)
{
    constexpr int c_firers = 2, c_fires = 2000;
    std::atomic<int> steadyCalls{0}, churnCalls{0};
    Subscribe(m_event, [&](const boost::any& message) { steadyCalls += boost::any_cast<int>(message); });
    std::vector<std::thread> threads;
    for (int f = 0; f < c_firers; ++f)
        threads.emplace_back([&] {
            for (int i = 0; i < c_fires; ++i)
                utl::FireEvent(m_event, 1);
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                utl::UnsubscribeEvent(utl::SubscribeEvent(m_event, [&](const boost::any&) { ++churnCalls; }));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(steadyCalls.load(), c_firers * c_fires);
    const int churned = churnCalls.load();
    utl::FireEvent(m_event, 0);
    EXPECT_EQ(churnCalls.load(), churned);
}

} // namespace
