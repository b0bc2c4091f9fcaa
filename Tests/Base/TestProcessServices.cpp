// Process-wide services of the base libraries: the property registry, thread names, the last
// error and the host application's settings.

#include <app/LastError.h>
#include <trellis/AppProps.h>
#include <utl/PropertyRegistry.h>
#include <utl/Thread.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The registry lives as long as the process: these names and IDs belong to this test alone.
TEST(PropertyRegistry, BindingsAreFirstComeAndConsistent)
{
    const std::wstring a = L"BaseTest.Registry.A", b = L"BaseTest.Registry.B", c = L"BaseTest.Registry.C";
    const struct {
        std::wstring name;
        int id, type;
        bool accepted;
    } cases[] = {
        {c, 910003, 5, true},
        {a, 910001, 10, true},
        {b, 910002, 12, true},
        {a, 910001, 10, true},                       // the same triple again
        {a, 910009, 10, false},                      // the name bound to another ID
        {L"BaseTest.Registry.D", 910001, 10, false}, // the ID bound to another name
        {a, 910001, 5, false},                       // the ID with another type
    };
    for (const auto& x : cases)
        EXPECT_EQ(utl::RegisterProperty(x.name, x.id, x.type), x.accepted) << x.id;

    const auto found = utl::FindProperty(a);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, 910001);
    EXPECT_EQ(found->type, 10);
    EXPECT_EQ(utl::FindProperty(910001)->name, a);
    EXPECT_FALSE(utl::FindProperty(910009));
    EXPECT_FALSE(utl::FindProperty(L"BaseTest.Registry.D"));

    std::vector<int> order;
    for (const auto& info : utl::RegisteredProperties())
        if (info.id >= 910000 && info.id < 920000)
            order.push_back(info.id);
    EXPECT_EQ(order, (std::vector<int>{910003, 910001, 910002}));
}

// Names a thread through the library and runs `check` while it is alive.
template <class Check>
void WithNamedThread(const std::string& name, Check check)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread thread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return done; });
    });
    EXPECT_TRUE(utl::ThreadSetNameAndPriority(thread.native_handle(), name));
    check(thread.native_handle());
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    thread.join();
}

std::string KernelName(pthread_t thread)
{
    char name[16] = {};
    EXPECT_EQ(pthread_getname_np(thread, name, sizeof(name)), 0);
    return name;
}

TEST(Thread, NamesAreKeptInFull)
{
    for (const std::string name : {"PlinthStageStatusPoller", "Short"})
        WithNamedThread(name, [&](pthread_t thread) {
            EXPECT_EQ(utl::ThreadGetName(thread), name);
            EXPECT_EQ(KernelName(thread), name.substr(0, 15));
        });
    // A name changed behind the library's back wins over the remembered one.
    WithNamedThread("PlinthRemembered.Name", [](pthread_t thread) {
        ASSERT_EQ(pthread_setname_np(thread, "other"), 0);
        EXPECT_EQ(utl::ThreadGetName(thread), "other");
    });
}

app::CError Error(int code) { return app::CError(app::CDbgErrInfo("fn", "file.cpp", code), app::eErrGroupStage, code); }

TEST(LastError, IsPerThreadAndClearable)
{
    app::ClearLastError();
    EXPECT_FALSE(app::GetLastError());
    EXPECT_TRUE(app::SetLastError(Error(1), nullptr));
    app::CErrorManager manager;
    std::thread([&] {
        EXPECT_FALSE(app::GetLastError()); // a new thread starts without one
        app::SetLastError(Error(2), &manager);
        EXPECT_EQ(app::GetLastError().value_or(Error(0)).GetCode(), 2);
    }).join();

    ASSERT_TRUE(app::GetLastError());
    EXPECT_EQ(app::GetLastError().value().GetCode(), 1);
    EXPECT_EQ(app::GetLastError()->GetGroup(), app::eErrGroupStage);
    EXPECT_EQ(app::GetLastError()->GetInfo().GetLine(), 1);
    app::ClearLastError();
    EXPECT_FALSE(app::GetLastError());

    // The manager saw the other thread's error and keeps the latest recorded there.
    EXPECT_EQ(manager.GetLast().value().GetCode(), 2);
    app::SetLastError(Error(3), nullptr);
    EXPECT_EQ(manager.GetLast().value().GetCode(), 2);
    app::SetLastError(Error(4), &manager);
    EXPECT_EQ(manager.GetLast().value().GetCode(), 4);
    EXPECT_FALSE(app::CErrorManager().GetLast());
    app::ClearLastError();
}

TEST(AppProps, UnsetReadsZeroAndValuesRoundTrip)
{
    EXPECT_EQ(appGetPropEx(0xBA5E, 0xFFFF), 0); // never set by anyone
    appSetPropEx(0xBA5E, 1, 0xFFFF);
    appSetPropEx(1, 0xBA5E, 9); // the same numbers, group and ID swapped
    EXPECT_EQ(appGetPropEx(0xBA5E, 1), 0xFFFF);
    EXPECT_EQ(appGetPropEx(1, 0xBA5E), 9);
}

} // namespace
