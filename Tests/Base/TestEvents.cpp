#include <utl/Events.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Callbacks run on the firing thread; a re-entrancy fault shows as a deadlock, which the test's
// time-out reports.

namespace {

using ::testing::ElementsAre;

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
    utl::EventToken Record(unsigned int eventID, std::string name) // a callback that records `name`
    {
        return Subscribe(eventID, [this, name](const boost::any&) { m_calls.push_back(name); });
    }

    const unsigned int m_event = utl::CreateEventID();
    std::vector<utl::EventToken> m_tokens;
    std::vector<std::string> m_calls;
};

TEST_F(Events, DeliversInSubscriptionOrderBeforeFireReturns)
{
    Record(m_event, "a");
    Subscribe(m_event,
              [this](const boost::any& m) { m_calls.push_back("b" + std::to_string(boost::any_cast<int>(m))); });
    Record(m_event, "c");
    Record(utl::CreateEventID(), "other");
    utl::FireEvent(m_event, 7);
    EXPECT_THAT(m_calls, ElementsAre("a", "b7", "c"));
}

// The first callback ends its own subscription and that of a later subscriber, which must not be
// called any more.
TEST_F(Events, CallbackUnsubscribing)
{
    utl::EventToken self = 0, later = 0;
    self = Subscribe(m_event, [&](const boost::any&) {
        m_calls.push_back("self");
        EXPECT_TRUE(utl::UnsubscribeEvent(self));
        EXPECT_TRUE(utl::UnsubscribeEvent(later));
    });
    later = Record(m_event, "later");
    Record(m_event, "last");
    utl::FireEvent(m_event, {});
    utl::FireEvent(m_event, {});
    EXPECT_THAT(m_calls, ElementsAre("self", "last", "last"));
}

// The first callback fires another event from inside, and on the first delivery subscribes a new
// callback, which first hears the next event.
TEST_F(Events, CallbackFiringAndSubscribing)
{
    const unsigned int inner = utl::CreateEventID();
    bool subscribed = false;
    Subscribe(m_event, [&](const boost::any&) {
        m_calls.push_back("outer");
        utl::FireEvent(inner, {});
        if (!std::exchange(subscribed, true))
            Record(m_event, "new");
    });
    Record(m_event, "outer2");
    Record(inner, "inner");
    utl::FireEvent(m_event, {});
    EXPECT_THAT(m_calls, ElementsAre("outer", "inner", "outer2"));
    m_calls.clear();
    utl::FireEvent(m_event, {});
    EXPECT_THAT(m_calls, ElementsAre("outer", "inner", "outer2", "new"));
}

// An object that ends its subscription in its destructor must not be called afterwards: the
// unsubscribe waits for a call that is running on another thread.
TEST_F(Events, UnsubscribeWaitsForACallOnAnotherThread)
{
    std::promise<void> entered;
    std::promise<void> release;
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

TEST_F(Events, UnsubscribeOfUnknownTokenAnswersFalse)
{
    EXPECT_FALSE(utl::UnsubscribeEvent(0));
    EXPECT_FALSE(utl::UnsubscribeEvent(~utl::EventToken(0)));
    const utl::EventToken token = utl::SubscribeEvent(m_event, [](const boost::any&) {});
    EXPECT_NE(token, 0u);
    EXPECT_TRUE(utl::UnsubscribeEvent(token));
    EXPECT_FALSE(utl::UnsubscribeEvent(token));
}

TEST_F(Events, CreateEventIDNeverRepeats)
{
    std::vector<std::vector<unsigned int>> ids(4);
    std::vector<std::thread> threads;
    for (auto& list : ids)
        threads.emplace_back([&list] {
            for (int i = 0; i < 1000; ++i)
                list.push_back(utl::CreateEventID());
        });
    for (auto& thread : threads)
        thread.join();
    std::set<unsigned int> unique{m_event};
    for (const auto& list : ids)
        unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), 4001u);
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
            for (int i = 0; i < 1000; ++i) {
                // Unsubscribed by its callback or by this thread, whichever comes first.
                auto token = std::make_shared<std::atomic<utl::EventToken>>(0);
                auto unsubscribe = [token] {
                    if (const utl::EventToken mine = token->exchange(0))
                        utl::UnsubscribeEvent(mine);
                };
                token->store(utl::SubscribeEvent(m_event, [&churnCalls, unsubscribe](const boost::any&) {
                    ++churnCalls;
                    unsubscribe();
                }));
                unsubscribe();
            }
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(steadyCalls.load(), c_firers * c_fires);
    const int churned = churnCalls.load();
    utl::FireEvent(m_event, 0);
    EXPECT_EQ(churnCalls.load(), churned);
}

} // namespace
