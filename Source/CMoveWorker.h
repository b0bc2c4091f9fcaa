#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <plinth/driver/CLowLevelStage.h>
#include <plinth/driver/ResultCodes.h>

namespace stg::detail {

// The thread that runs a medium level's emulated moves ("StageML async move"), one at a time,
// from a mailbox of one move. Posting a move puts the request into the mailbox, which the worker
// owns, and wakes the thread: the hand-over is complete at that moment, so the poster never waits
// for the thread to be scheduled, and the worker holds its own copy of the request whatever the
// poster does next.
//
// Moves are numbered from 1 in the order posted; a number stays valid for the questions below
// (has it taken the stage lock, has it finished and how) for as long as no later move was posted.
//
// Owned jointly by the medium level and the thread: the medium level may go while a move runs;
// the thread then ends after that move, touching nothing but this object and, during the move,
// the stage (whose lock the move holds, so the stage's Exit and deletion wait for it).
//
// Locking: m_mutex guards every member below it and is never held while a move runs.
class CMoveWorker {
public:
    // The check a move runs under the stage lock right before it calls the driver; c_OK lets it go.
    using MoveCheck = int (*)(CLowLevelStage& stage, const CLowLevelStage::TickMap& targets);
    struct tMove {
        CLowLevelStage* stage = nullptr;
        CLowLevelStage::TickMap targets;
        MoveCheck check = nullptr;
        std::uint64_t stopCount = 0; // a stop counted after this ends the move before it begins
    };

    // A worker with its thread running and its mailbox empty; std::system_error when no thread
    // can be started.
    static std::shared_ptr<CMoveWorker> Start();

    // Puts `move` into the mailbox and wakes the thread; answers the move's number. The mailbox
    // must be empty (the move posted before has been taken: it holds the stage lock or finished).
    std::uint64_t Post(tMove move);
    // Waits up to `timeoutMs` (stg::c_waitForever: no limit) until move `number` has finished;
    // false on the time-out.
    bool WaitFinished(std::uint64_t number, std::uint32_t timeoutMs);
    // Waits until move `number` holds the stage lock (or has finished).
    void WaitLocked(std::uint64_t number);
    // The outcome of move `number`: c_Busy until it finished, then the driver's answer, c_Stopped
    // when a stop came before it began, the check's code, or c_GeneralFailure when it threw.
    int Result(std::uint64_t number) const;
    // Whether the calling thread is this worker's thread (a subscriber of a move's events).
    bool IsOwnThread() const noexcept { return std::this_thread::get_id() == m_threadID; }
    // Ends the thread once it has run what its mailbox holds: joined when it has nothing left to
    // run (which returns at once), let go otherwise and when called on the thread itself. With
    // `discard`, a move still in the mailbox is dropped instead (its stage is going).
    void Retire(bool discard);

    CMoveWorker() = default;
    CMoveWorker(const CMoveWorker&) = delete;
    CMoveWorker& operator=(const CMoveWorker&) = delete;

private:
    static void Loop(const std::shared_ptr<CMoveWorker>& self);
    // Runs one move, marking when it holds the stage lock and when it has finished.
    void Run(const tMove& move, std::uint64_t number);

    mutable std::mutex m_mutex;
    std::condition_variable m_mail;     // a move was posted, or the thread is to end
    std::condition_variable m_progress; // a move took the stage lock or finished
    std::optional<tMove> m_mailbox;     // posted, not yet taken
    std::uint64_t m_posted = 0;         // number of the last move posted
    std::uint64_t m_locked = 0;         // of the last move that took the stage lock
    std::uint64_t m_finished = 0;       // of the last move that finished
    int m_result = c_OK;                // of move m_finished
    bool m_running = false;             // a move was taken and has not finished
    bool m_quit = false;
    std::thread m_thread;
    std::thread::id m_threadID;
};

} // namespace stg::detail
