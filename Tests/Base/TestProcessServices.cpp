// Process-wide services of the base libraries: the property registry, thread names and the last
// error.

#include <app/LastError.h>
#include <utl/PropertyRegistry.h>
#include <utl/Thread.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <future>
#include <thread>

namespace {

// The registry lives as long as the process: these names and IDs belong to this test alone.
TEST(PropertyRegistry, BindingsAreFirstComeAndConsistent)
{
    const std::wstring a = L"BaseTest.Registry.A", b = L"BaseTest.Registry.B";
    const struct {
        std::wstring name;
        int id, type;
        bool accepted;
    } cases[] = {
        {a, 910001, 10, true},
        {b, 910002, 12, true},
        {a, 910001, 10, true},                       // the same triple again
        {a, 910009, 10, false},                      // the name bound to another ID
        {L"BaseTest.Registry.D", 910001, 10, false}, // the ID bound to another name
        {a, 910001, 5, false},                       // the ID with another type
    };
    for (const auto& x : cases)
        EXPECT_EQ(utl::RegisterProperty(x.name, x.id, x.type), x.accepted) << x.id;

    EXPECT_EQ(utl::FindProperty(a).value().type, 10);
    EXPECT_EQ(utl::FindProperty(910002).value().name, b);
    EXPECT_FALSE(utl::FindProperty(910009) || utl::FindProperty(L"BaseTest.Registry.D"));
}

TEST(Thread, NamesLongerThanTheKernelKeepsAreKeptInFull)
{
    const std::string name = "PlinthStageStatusPoller";
    std::promise<void> done;
    std::thread thread([finished = done.get_future()] { finished.wait(); });
    EXPECT_TRUE(utl::ThreadSetNameAndPriority(thread.native_handle(), name));
    EXPECT_EQ(utl::ThreadGetName(thread.native_handle()), name);
    char kernelName[16] = {};
    EXPECT_EQ(pthread_getname_np(thread.native_handle(), kernelName, sizeof(kernelName)), 0);
    EXPECT_EQ(kernelName, name.substr(0, 15));
    done.set_value();
    thread.join();
}

app::CError Error(int code) { return app::CError(app::CDbgErrInfo("fn", "file.cpp", code), app::eErrGroupStage, code); }

TEST(LastError, IsPerThreadAndClearable)
{
    EXPECT_TRUE(app::SetLastError(Error(1), nullptr));
    std::thread([] {
        EXPECT_FALSE(app::GetLastError()); // a new thread starts without one
        app::SetLastError(Error(2), nullptr);
        EXPECT_EQ(app::GetLastError().value_or(Error(0)).GetCode(), 2);
    }).join();
    EXPECT_EQ(app::GetLastError().value_or(Error(0)).GetCode(), 1);
    app::ClearLastError();
    EXPECT_FALSE(app::GetLastError());
}

} // namespace
