#include "CStopOnSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <plinth/StageAPI.h>

#include "Interrupts.h"

namespace plinthcli {

CStopOnSignal::CStopOnSignal(std::uint32_t stageID) : m_stageID(stageID)
{
    // Without its pipe the object does nothing: the command still stops once the call returns.
    if (pipe2(m_quit, O_CLOEXEC) != 0 || interrupts::WatchFd() < 0)
        return;
    // A byte left by a signal that was already handled would stop this command's motion.
    char buffer[64];
    while (read(interrupts::WatchFd(), buffer, sizeof buffer) > 0) {
    }
    m_thread = std::thread([this] { Watch(); });
}

CStopOnSignal::~CStopOnSignal()
{
    if (m_thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(m_quit[1], &byte, 1);
        m_thread.join();
    }
    for (int fd : m_quit)
        if (fd >= 0)
            close(fd);
}

void CStopOnSignal::Watch()
{
    bool stopping = interrupts::Pending() != 0; // a signal before the object was made counts
    for (;;) {
        if (stopping)
            stg::StopMoving(m_stageID);
        pollfd fds[2] = {{m_quit[0], POLLIN, 0}, {interrupts::WatchFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, stopping ? c_restopMs : -1);
        if (ready > 0 && (fds[0].revents & POLLIN))
            return;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            char buffer[64];
            while (read(interrupts::WatchFd(), buffer, sizeof buffer) > 0) {
            }
        }
        stopping = stopping || interrupts::Pending() != 0;
    }
}

} // namespace plinthcli
