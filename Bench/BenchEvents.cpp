// The event service: one event fired to one subscriber, next to the floor, the same empty
// callback called directly.

#include <atomic>

#include <boost/any.hpp>
#include <utl/Events.h>

#include "BenchSupport.h"

namespace {

void BM_FireEventOneSubscriber(benchmark::State& state)
{
    const unsigned int eventID = utl::CreateEventID();
    std::atomic<long> heard{0};
    const utl::EventToken token =
        utl::SubscribeEvent(eventID, [&](const boost::any&) { heard.fetch_add(1, std::memory_order_relaxed); });
    const boost::any message = 42;
    const bench::CAllocCount allocs;
    for (auto _ : state)
        utl::FireEvent(eventID, message);
    allocs.Report(state);
    utl::UnsubscribeEvent(token);
    if (heard != long(state.iterations()))
        state.SkipWithError("the subscriber missed events");
}
BENCHMARK(BM_FireEventOneSubscriber);

// Floor: the subscriber's callback called through its std::function.
void BM_Floor_EmptyCallback(benchmark::State& state)
{
    std::atomic<long> heard{0};
    utl::EventCallback callback = [&](const boost::any&) { heard.fetch_add(1, std::memory_order_relaxed); };
    benchmark::DoNotOptimize(callback);
    const boost::any message = 42;
    const bench::CAllocCount allocs;
    for (auto _ : state)
        callback(message);
    allocs.Report(state);
}
BENCHMARK(BM_Floor_EmptyCallback);

} // namespace
