#pragma once

#include <memory>

#include <plinth/driver/CLowLevelStage.h>

// What the benchmarks share: a count of heap allocations (the program replaces the global
// operator new) and simulated stages registered through the stage manager the way an application
// registers them.

#include <atomic>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

namespace bench {

// Heap allocations made by any thread of the process so far.
std::uint64_t Allocations() noexcept;

// Counts the allocations between its construction and Report, which sets the counter
// "allocs/call" (allocations per iteration) of the benchmark.
class CAllocCount {
public:
    CAllocCount() : m_start(Allocations()) {}
    void Report(benchmark::State& state) const
    {
        state.counters["allocs/call"] =
            benchmark::Counter(double(Allocations() - m_start) / double(state.iterations()));
    }

private:
    std::uint64_t m_start;
};

// The median of the iteration times of a benchmark with manual time, as the counter "median_us":
// a machine shared with other work preempts a thread now and then for milliseconds, which the
// mean (the benchmark's time) includes and the median does not.
class CMedian {
public:
    explicit CMedian(benchmark::State& state) : m_state(state) { m_samples.reserve(1 << 16); }
    void Add(double seconds)
    {
        if (m_samples.size() < m_samples.capacity())
            m_samples.push_back(seconds); // no allocation while timing
    }
    void Report();

private:
    benchmark::State& m_state;
    std::vector<double> m_samples;
};

// The simulated stage's controller profiles, as its "SimProfile" setting takes them (see the
// README): a controller with every kind of move, and one that only moves blocking.
enum class ESimProfile : std::int32_t { eFull = 0, eBlockingOnly = 1 };

// The ID of a simulated stage in `profile`, registered and activated on first use and kept until
// UnregisterStages: X, Y and Z enabled, limits set (X/Y -10 mm .. 10 mm, Z 0 .. 5 mm), precision
// mode off, standing at X = Y = 0 and at rest, with "SimTimeScale" `timeScale`.
std::uint32_t SimStage(ESimProfile profile, double timeScale);
// A new driver object of the simulated stage, made by its module's factory, for benchmarks of
// the low level on its own; null when the module has no factory.
std::unique_ptr<stg::CLowLevelStage> NewSimDriver(std::uint32_t stageID);
void UnregisterStages();

} // namespace bench
