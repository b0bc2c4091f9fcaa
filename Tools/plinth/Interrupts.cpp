#include "Interrupts.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace plinthcli::interrupts {
namespace {

std::atomic<int> g_pending{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");
int g_pipe[2] = {-1, -1};
int g_watchPipe[2] = {-1, -1}; // the stop watcher's own, so that it never takes the waiters' bytes

extern "C" void OnSignal(int signal)
{
    const int savedErrno = errno;
    g_pending.store(signal, std::memory_order_release);
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(g_pipe[1], &byte, 1); // a full pipe is signal enough
    written = write(g_watchPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void Install()
{
    if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(g_watchPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Pending() noexcept { return g_pending.load(std::memory_order_acquire); }

int Take() noexcept
{
    // Taken before the pipe is emptied: a signal in between stays pending (its byte may go).
    const int signal = g_pending.exchange(0, std::memory_order_acq_rel);
    char buffer[64];
    while (g_pipe[0] >= 0 && read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
    return signal;
}

int ReadFd() noexcept { return g_pipe[0]; }

int WatchFd() noexcept { return g_watchPipe[0]; }

} // namespace plinthcli::interrupts
