#include "InterruptibleCall.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include <pybind11/pybind11.h>

#include <plinth/StageAPI.h>

#include "CReleasedGil.h"

namespace py = pybind11;

namespace plinthpy {
namespace {

// How long the waiting thread waits between looks at Python's signals.
constexpr std::chrono::milliseconds c_signalSlice{50};
// How long, after a stop, the waiting thread waits for the call to return before it lets it go.
constexpr std::chrono::seconds c_stopGrace{5};

// Shared by the waiting thread and the call's thread, which may outlive the wait.
struct tCall {
    std::mutex mutex; // guards the members below
    std::condition_variable ended;
    bool done = false;
    int answer = 0;
    std::exception_ptr error;
};

// Waits until the call is done or `timeout` passed; true when done. Expects the GIL not held.
template <class Duration>
bool WaitFor(tCall& call, Duration timeout)
{
    std::unique_lock<std::mutex> lock(call.mutex);
    return call.ended.wait_for(lock, timeout, [&] { return call.done; });
}

} // namespace

int CallInterruptibly(std::uint32_t stageID, std::function<int()> call, bool waitAfterStop)
{
    if (!CReleasedGil::OnMainThread()) {
        const CReleasedGil released;
        return call();
    }
    auto shared = std::make_shared<tCall>();
    std::thread worker([shared, call = std::move(call)] {
        int answer = 0;
        std::exception_ptr error;
        try {
            answer = call();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->answer = answer;
            shared->error = error;
            shared->done = true;
        }
        shared->ended.notify_all();
    });
    for (;;) {
        bool done = false;
        {
            const CReleasedGil released;
            done = WaitFor(*shared, c_signalSlice);
        }
        if (done)
            break;
        if (PyErr_CheckSignals() != 0) {
            // The handler raised: stop the motion before the exception goes on.
            {
                const CReleasedGil released;
                stg::StopMoving(stageID);
                done = WaitFor(*shared, c_stopGrace);
                while (waitAfterStop && !done)
                    done = WaitFor(*shared, c_stopGrace);
            }
            if (done)
                worker.join();
            else
                worker.detach(); // owns what it uses; ends when the driver returns
            throw py::error_already_set();
        }
    }
    worker.join();
    if (shared->error)
        std::rethrow_exception(shared->error);
    return shared->answer;
}

} // namespace plinthpy
