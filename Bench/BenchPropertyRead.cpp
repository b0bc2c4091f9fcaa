// The property read path of a stage: a look-up in a property set of about 25 entries, the copy of
// the value out of it and its typed read, alone and under the stage's recursive lock.

#include <mem/CBin.h>
#include <utl/CPropSet.h>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include <mutex>
#include <string>

namespace {

constexpr int c_propCount = 25;
constexpr int c_readID = 113; // a double with a unit in the middle of the set

// A set shaped like an axis' properties: mostly scalars, a few names and one nested list.
utl::CPropSet MakeAxisSet()
{
    utl::CPropSet set;
    for (int i = 0; i < c_propCount; ++i) {
        const int id = 100 + i;
        mem::CBin value;
        switch (i % 5) {
        case 0:
            value.Set(std::int32_t(i));
            break;
        case 1:
            value.Set(std::int64_t(i) << 33);
            break;
        case 2:
        case 3:
            value.Set(double(i) * 0.5);
            value.SetUnit(utl::c_mum);
            break;
        default:
            value.Store(L"property value number " + std::to_wstring(i));
            break;
        }
        set.SetProperty(id, value);
    }
    mem::CBin nested;
    nested.Store(mem::PropSetVector{boost::make_shared<utl::CPropSet>(), boost::make_shared<utl::CPropSet>()});
    set.SetProperty(100 + c_propCount, nested);
    return set;
}

void BM_PropSetGetScalar(benchmark::State& state)
{
    const utl::CPropSet set = MakeAxisSet();
    mem::CBin value;
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.GetProperty(c_readID, value));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_PropSetGetScalar);

void BM_PropSetGetScalarAndRead(benchmark::State& state)
{
    const utl::CPropSet set = MakeAxisSet();
    mem::CBin value;
    double position = 0.0;
    for (auto _ : state) {
        set.GetProperty(c_readID, value);
        benchmark::DoNotOptimize(value.Get(position));
        benchmark::DoNotOptimize(position);
    }
}
BENCHMARK(BM_PropSetGetScalarAndRead);

void BM_PropSetGetUnderRecursiveLock(benchmark::State& state)
{
    const utl::CPropSet set = MakeAxisSet();
    std::recursive_mutex stageMutex;
    mem::CBin value;
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> lock(stageMutex);
        benchmark::DoNotOptimize(set.GetProperty(c_readID, value));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_PropSetGetUnderRecursiveLock);

// Several threads reading one set, each under its own recursive lock as stages on separate
// threads would: shows what the set's own lock costs under contention.
void BM_PropSetGetContended(benchmark::State& state)
{
    static const utl::CPropSet set = MakeAxisSet();
    std::recursive_mutex stageMutex;
    mem::CBin value;
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> lock(stageMutex);
        benchmark::DoNotOptimize(set.GetProperty(c_readID, value));
    }
}
BENCHMARK(BM_PropSetGetContended)->Threads(1)->Threads(2);

void BM_CBinCopyScalar(benchmark::State& state)
{
    mem::CBin source = mem::CBin::Of(12.5);
    source.SetUnit(utl::c_mm);
    mem::CBin target;
    for (auto _ : state) {
        target = source;
        benchmark::DoNotOptimize(target);
    }
}
BENCHMARK(BM_CBinCopyScalar);

void BM_CBinCopyWString(benchmark::State& state)
{
    mem::CBin source;
    source.Store(std::wstring(L"a name long enough to live outside the value"));
    mem::CBin target;
    for (auto _ : state) {
        target = source;
        benchmark::DoNotOptimize(target);
    }
}
BENCHMARK(BM_CBinCopyWString);

void BM_CBinGetDouble(benchmark::State& state)
{
    const mem::CBin source = mem::CBin::Of(12.5);
    double out = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.Get(out));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_CBinGetDouble);

} // namespace
