#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <plinth/tSTAGEMSG.h>

namespace stg {

class CMediumLevelStage;

// Raises the move events of one stage (c_msgMoveStarted, c_msgPositionSample, c_msgMoveFinished)
// for every driver. A thread of its own runs only while a move is under way: it fires "started",
// samples the moving axes every c_sampleInterval, and once the move has ended fires one final
// sample per axis and "finished" with the outcome, then ends. A started move or free run ends when
// the driver says the axes stand (an emulated one when its worker has ended). A blocking move
// holds the driver: it is not sampled while it runs, and it ends when its caller reports its
// answer and final positions (Ended). A move started while another is followed ends
// the earlier one with c_Stopped.
//
// The events are fired on the watcher's thread holding no lock at all, so subscribers may call
// into the stage. Started and Ended take only m_mutex, which is never held while calling into
// the stage or firing; callers may hold the stage lock.
class CMoveWatcher : public std::enable_shared_from_this<CMoveWatcher> {
public:
    using Axes = std::vector<int>;
    using TickMap = std::map<int, std::int64_t>;
    static constexpr std::chrono::milliseconds c_sampleInterval{50};

    explicit CMoveWatcher(CMediumLevelStage& medium);
    // Ends the thread without firing more events and waits for it (an ongoing position read
    // first returns); on the watcher's own thread it lets the thread end by itself. Call before
    // the medium level goes away.
    void Retire();
    ~CMoveWatcher();
    CMoveWatcher(const CMoveWatcher&) = delete;
    CMoveWatcher& operator=(const CMoveWatcher&) = delete;

    // A move of `axes` was accepted (`blocking`: its caller waits in it and calls Ended). Answers
    // the move's serial for Ended.
    std::uint64_t Started(const Axes& axes, bool blocking);
    // The blocking move `serial` answered `result`, its axes standing at `positions` (ticks).
    // Reads the axes' conversion settings on the calling thread (takes the stage lock).
    void Ended(std::uint64_t serial, int result, const TickMap& positions);

private:
    struct tMove {
        std::uint64_t serial = 0;
        Axes axes;
        bool blocking = false;
        bool emulated = false;       // run by an emulated move's worker (its outcome tells the end)
        std::uint64_t stopCount = 0; // the stage's stop count when the move began
    };

    void Run();
    // Whether the started move `move` still runs; otherwise its outcome in `result`.
    bool StillMoving(const tMove& move, int& result);
    // Reads the axes' positions and fires one sample per axis.
    void Sample(const Axes& axes);
    // One sample per axis in physical units (takes the stage lock); FireAll fires them, no lock held.
    std::vector<tSTAGEMSG> Samples(const TickMap& ticks);
    static void FireAll(const std::vector<tSTAGEMSG>& messages);
    void Fire(int msgID, int axis, int result) const;

    CMediumLevelStage& m_medium;
    const std::uint32_t m_stageID;
    std::mutex m_mutex; // guards everything below; never held while calling into the stage
    std::condition_variable m_wake;
    std::optional<tMove> m_pending; // started, not yet taken up by the thread
    std::uint64_t m_serial = 0;
    std::uint64_t m_watchedSerial = 0; // the last move handed to the thread
    std::uint64_t m_endedSerial = 0;   // the last blocking move that reported its answer
    int m_endedResult = 0;
    std::vector<tSTAGEMSG> m_endedSamples;
    bool m_running = false; // the thread runs (it clears this as its last step)
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace stg
