// The stage server: a position read through `plinth serve` over its Unix socket beside the same
// read in process, the time from the library's "move finished" to a subscribed client, the rate
// of the position samples, and 16 clients reading at 50 Hz while one moves and one subscribes
// (failed calls and the server's CPU use). The server is a process of its own, started on first
// use on a private socket with a scratch settings file and ended with SIGTERM at exit. The read's
// floors: the same call to a bare server of the same service, and a socket round trip between
// two processes.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grpcpp/grpcpp.h>
#include <plinth/v1/stage.grpc.pb.h>

#include <plinth/Plinth.h>

#include "BenchSupport.h"

namespace {

namespace pb = plinth::v1;
using Clock = std::chrono::steady_clock;

// A server process on a private socket, ended with SIGTERM when the benchmarks end: `plinth serve`
// with the simulated stage and a scratch settings file, or the floor server (the same service
// answering fixed positions).
class CServerProcess {
public:
    enum class EKind { eStageServer, eFloor };

    explicit CServerProcess(EKind kind)
    {
        char dir[] = "/tmp/plinth-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        m_dir = dir;
        m_address = "unix:" + m_dir + "/server.sock";
        const std::string config = "PLINTH_CONFIG=" + m_dir + "/settings.db";
        m_pid = fork();
        if (m_pid == 0) {
            putenv(const_cast<char*>(config.c_str())); // NOLINT: the child's own copy
            std::freopen("/dev/null", "w", stderr);
            if (kind == EKind::eFloor)
                execl(PLINTH_FLOOR_SERVER, PLINTH_FLOOR_SERVER, m_address.c_str(), static_cast<char*>(nullptr));
            else // the simulated stage by its module path (no driver folder needs to be set), in
                 // real time, so that its moves last long enough for position samples
                execl(PLINTH_CLI, PLINTH_CLI, "--time-scale", "1", "serve", "--stage", "1=" PLINTH_SIMSTAGE_MODULE,
                      "--listen", m_address.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once it answers at all (the floor server answers GetInfo with UNIMPLEMENTED).
        for (int attempt = 0; attempt < 200 && !m_ready; ++attempt) {
            grpc::ClientContext context;
            context.set_deadline(std::chrono::system_clock::now() + std::chrono::milliseconds(100));
            context.set_wait_for_ready(true);
            pb::StageRequest request;
            request.set_stage_id(1);
            pb::StageInfo info;
            const grpc::StatusCode code = NewStub()->GetInfo(&context, request, &info).error_code();
            m_ready = code != grpc::StatusCode::UNAVAILABLE && code != grpc::StatusCode::DEADLINE_EXCEEDED;
        }
        if (!m_ready || kind == EKind::eFloor)
            return;
        // Limits for every axis of the stage, so that it moves and reads.
        grpc::ClientContext context;
        pb::SetLimitsRequest limits;
        limits.set_stage_id(1);
        for (const char* axis : {"X", "Y", "Z"}) {
            auto* entry = limits.add_limits();
            entry->set_axis(axis);
            entry->set_minimum_um(-5000.0);
            entry->set_maximum_um(5000.0);
        }
        pb::LimitsReply reply;
        m_ready = NewStub()->SetLimits(&context, limits, &reply).ok();
    }
    ~CServerProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty())
            std::system(("rm -rf " + m_dir).c_str()); // NOLINT(concurrency-mt-unsafe): at exit
    }
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    bool Ready() const { return m_ready; }
    pid_t Pid() const { return m_pid; }
    // A stub on a connection of its own (no connection is shared between stubs).
    std::unique_ptr<pb::StageService::Stub> NewStub() const
    {
        grpc::ChannelArguments arguments;
        arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
        return pb::StageService::NewStub(
            grpc::CreateCustomChannel(m_address, grpc::InsecureChannelCredentials(), arguments));
    }

private:
    std::string m_dir, m_address;
    pid_t m_pid = -1;
    bool m_ready = false;
};

CServerProcess& Server()
{
    static CServerProcess server(CServerProcess::EKind::eStageServer);
    return server;
}

CServerProcess& FloorServer()
{
    static CServerProcess server(CServerProcess::EKind::eFloor);
    return server;
}

// CPU seconds the process has used (user and system).
double CpuSeconds(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

bool ReadPositions(pb::StageService::Stub& stub)
{
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
    pb::StageRequest request;
    request.set_stage_id(1);
    pb::PositionsReply reply;
    return stub.GetPositions(&context, request, &reply).ok();
}

bool MoveX(pb::StageService::Stub& stub, double um)
{
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));
    pb::MoveRequest request;
    request.set_stage_id(1);
    request.set_wait(true);
    auto* target = request.add_targets_um();
    target->set_axis("X");
    target->set_value(um);
    pb::MoveReply reply;
    return stub.Move(&context, request, &reply).ok();
}

void BM_PositionReadInProcess(benchmark::State& state)
{
    const std::uint32_t id = bench::SimStage(bench::ESimProfile::eFull, 1.0);
    std::map<int, utl::TUnitValue<double>> positions;
    bench::CMedian median(state);
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(stg::GetPosition(id, positions, stg::eAllAxes));
        const std::chrono::duration<double> took = Clock::now() - start;
        median.Add(took.count());
        state.SetIterationTime(took.count());
    }
    median.Report();
}
BENCHMARK(BM_PositionReadInProcess)->UseManualTime();

// A position read through `server` (a new connection, made before timing), and the processor time
// the server spends on one read: on a machine whose cores are busy with other work, the round
// trip is this, the client's own (the CPU column) and waiting for a core.
void ReadThrough(benchmark::State& state, CServerProcess& server)
{
    if (!server.Ready()) {
        state.SkipWithError("the server did not start");
        return;
    }
    const auto stub = server.NewStub();
    ReadPositions(*stub);
    bench::CMedian median(state);
    const double serverCpu = CpuSeconds(server.Pid());
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!ReadPositions(*stub))
            state.SkipWithError("a read failed");
        const std::chrono::duration<double> took = Clock::now() - start;
        median.Add(took.count());
        state.SetIterationTime(took.count());
    }
    median.Report();
    if (state.iterations() > 0)
        state.counters["server_cpu_us"] = (CpuSeconds(server.Pid()) - serverCpu) * 1e6 / double(state.iterations());
}

void BM_PositionReadThroughServer(benchmark::State& state) { ReadThrough(state, Server()); }
BENCHMARK(BM_PositionReadThroughServer)->UseManualTime();

// Floor: the same call to the floor server, the same service answering fixed positions; the RPC
// engine's round trip between two processes on this machine.
void BM_Floor_PositionReadThroughBareServer(benchmark::State& state) { ReadThrough(state, FloorServer()); }
BENCHMARK(BM_Floor_PositionReadThroughBareServer)->UseManualTime();

// Floor: 60 bytes to a child process over a Unix socket pair and back; the two wake-ups that any
// request and its answer between two processes take, without an RPC engine.
void BM_Floor_SocketRoundTrip(benchmark::State& state)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    const pid_t echo = fork();
    if (echo == 0) { // only system calls in the child of a threaded process
        close(ends[0]);
        char buffer[64];
        ssize_t got = 0;
        while ((got = read(ends[1], buffer, sizeof buffer)) > 0)
            if (write(ends[1], buffer, std::size_t(got)) != got)
                break;
        _exit(0);
    }
    close(ends[1]);
    char message[60] = {};
    bench::CMedian median(state);
    for (auto _ : state) {
        const auto start = Clock::now();
        std::size_t back = 0;
        if (write(ends[0], message, sizeof message) != ssize_t(sizeof message))
            state.SkipWithError("write failed");
        while (back < sizeof message) {
            const ssize_t got = read(ends[0], message + back, sizeof message - back);
            if (got <= 0) {
                state.SkipWithError("the echo ended");
                break;
            }
            back += std::size_t(got);
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        median.Add(took.count());
        state.SetIterationTime(took.count());
    }
    median.Report();
    close(ends[0]); // the echo reads the end and exits
    if (echo > 0)
        waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_Floor_SocketRoundTrip)->UseManualTime();

// Moves X back and forth; for each "move finished" the delay from the library raising it (the
// event's server-side time stamp, on the same steady clock) to this client reading it, and the
// position samples per second of the moves.
void BM_MoveFinishedToClient(benchmark::State& state)
{
    if (!Server().Ready()) {
        state.SkipWithError("the server did not start");
        return;
    }
    const auto stub = Server().NewStub();
    const auto subscriber = Server().NewStub();
    std::vector<double> delays;
    std::atomic<int> samples{0};
    grpc::ClientContext context;
    pb::SubscribeRequest request;
    request.set_stage_id(1);
    const auto reader = subscriber->Subscribe(&context, request);
    reader->WaitForInitialMetadata();
    std::thread listener([&] {
        pb::Event event;
        while (reader->Read(&event)) {
            const auto now = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
            if (event.kind() == pb::Event::MOVE_FINISHED)
                delays.push_back(double(now.count() - event.time_us()));
            else if (event.kind() == pb::Event::POSITION_SAMPLE && event.axis() == "X")
                ++samples;
        }
    });
    double moving = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < 10; ++i)
            MoveX(*stub, i % 2 == 0 ? 1000.0 : 0.0);
        moving += std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the last events on their way
    context.TryCancel();
    listener.join();
    std::sort(delays.begin(), delays.end());
    state.counters["finished_median_us"] = delays.empty() ? -1.0 : delays[delays.size() / 2];
    // Without the one final sample of each move.
    state.counters["samples_per_s"] = moving > 0.0 ? double(samples - 10 * int(state.iterations())) / moving : 0.0;
}
BENCHMARK(BM_MoveFinishedToClient)->Iterations(1)->Unit(benchmark::kMillisecond);

// 16 clients read the positions at 50 Hz each while one moves X back and forth and one subscribes,
// for PLINTH_BENCH_LOAD_S seconds (10 unless set; the README's figure is a 60 s run).
void BM_SixteenClientsAt50Hz(benchmark::State& state)
{
    if (!Server().Ready()) {
        state.SkipWithError("the server did not start");
        return;
    }
    const char* secondsText = std::getenv("PLINTH_BENCH_LOAD_S"); // NOLINT(concurrency-mt-unsafe)
    const double seconds = secondsText != nullptr ? std::atof(secondsText) : 10.0;
    std::atomic<bool> running{true};
    std::atomic<long> reads{0}, failures{0}, events{0};
    for (auto _ : state) {
        const double cpuBefore = CpuSeconds(Server().Pid());
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < 16; ++i) {
            threads.emplace_back([&] {
                const auto stub = Server().NewStub();
                auto next = Clock::now();
                while (running) {
                    next += std::chrono::milliseconds(20);
                    std::this_thread::sleep_until(next);
                    ++reads;
                    if (!ReadPositions(*stub))
                        ++failures;
                }
            });
        }
        threads.emplace_back([&] {
            const auto stub = Server().NewStub();
            for (int i = 0; running; ++i)
                if (!MoveX(*stub, i % 2 == 0 ? 3000.0 : -3000.0))
                    ++failures;
        });
        grpc::ClientContext context;
        const auto subscriber = Server().NewStub();
        pb::SubscribeRequest request;
        request.set_stage_id(1);
        const auto reader = subscriber->Subscribe(&context, request);
        threads.emplace_back([&] {
            pb::Event event;
            while (reader->Read(&event))
                ++events;
        });
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        running = false;
        context.TryCancel();
        for (auto& thread : threads)
            thread.join();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["server_cpu_cores"] = (CpuSeconds(Server().Pid()) - cpuBefore) / wall;
    }
    state.counters["reads"] = double(reads);
    state.counters["failed_calls"] = double(failures);
    state.counters["events"] = double(events);
}
BENCHMARK(BM_SixteenClientsAt50Hz)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
