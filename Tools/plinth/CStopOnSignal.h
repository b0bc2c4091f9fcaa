#pragma once

#include <cstdint>
#include <thread>

namespace plinthcli {

// Stops a stage the moment SIGINT or SIGTERM arrives, while the object lives: a thread waits for
// the signal and calls stg::StopMoving, which reaches a driver that declares the out-of-band stop
// without waiting for the stage lock that a blocking call (a range search, a limit run, a Z
// escape) holds. The call then returns early and the command ends as interrupted. Until the
// object goes, the thread repeats the stop every c_restopMs, so a move that a command starts in
// the instant after the signal is stopped as well. The signal stays pending for the command.
class CStopOnSignal {
public:
    static constexpr int c_restopMs = 100;

    explicit CStopOnSignal(std::uint32_t stageID);
    ~CStopOnSignal();
    CStopOnSignal(const CStopOnSignal&) = delete;
    CStopOnSignal& operator=(const CStopOnSignal&) = delete;

private:
    void Watch();

    std::uint32_t m_stageID;
    int m_quit[2] = {-1, -1}; // written by the destructor to end the thread
    std::thread m_thread;
};

} // namespace plinthcli
