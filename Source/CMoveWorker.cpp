#include "CMoveWorker.h"

#include <chrono>

#include <pthread.h>

#include <plinth/detail/CEventDeferral.h>
#include <utl/Thread.h>

namespace stg::detail {

namespace {
constexpr const char* c_workerName = "StageML async move";
}

std::shared_ptr<CMoveWorker> CMoveWorker::Start()
{
    auto self = std::make_shared<CMoveWorker>();
    std::lock_guard<std::mutex> lock(self->m_mutex); // the thread reads m_threadID only after
    self->m_thread = std::thread(&CMoveWorker::Loop, self);
    self->m_threadID = self->m_thread.get_id();
    return self;
}

std::uint64_t CMoveWorker::Post(tMove move)
{
    std::uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mailbox = std::move(move);
        number = ++m_posted;
    }
    m_mail.notify_one();
    return number;
}

bool CMoveWorker::WaitFinished(std::uint64_t number, std::uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto finished = [&] { return m_finished >= number; };
    if (timeoutMs == c_waitForever) {
        m_progress.wait(lock, finished);
        return true;
    }
    return m_progress.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished);
}

void CMoveWorker::WaitLocked(std::uint64_t number)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_progress.wait(lock, [&] { return m_locked >= number || m_finished >= number; });
}

int CMoveWorker::Result(std::uint64_t number) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished >= number ? m_result : c_Busy;
}

void CMoveWorker::Retire(bool discard)
{
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        if (discard)
            m_mailbox.reset();
        idle = !m_running && !m_mailbox;
    }
    m_mail.notify_one();
    if (!m_thread.joinable())
        return;
    if (idle && !IsOwnThread())
        m_thread.join();
    else
        m_thread.detach();
}

void CMoveWorker::Loop(const std::shared_ptr<CMoveWorker>& self)
{
    // Named by itself, first thing, so that the driver always sees a named thread.
    utl::ThreadSetNameAndPriority(pthread_self(), c_workerName);
    std::unique_lock<std::mutex> lock(self->m_mutex);
    for (;;) {
        self->m_mail.wait(lock, [&] { return self->m_mailbox || self->m_quit; });
        if (!self->m_mailbox)
            return; // retired, nothing left to run
        const tMove move = std::move(*self->m_mailbox);
        self->m_mailbox.reset();
        self->m_running = true;
        const std::uint64_t number = self->m_posted;
        lock.unlock();
        self->Run(move, number);
        lock.lock();
        self->m_running = false;
    }
}

void CMoveWorker::Run(const tMove& move, std::uint64_t number)
{
    // Events a driver fires during the move are delivered once the stage lock is released.
    CEventDeferral deferral(CEventDeferral::ESubscriberError::eDrop);
    CLowLevelStage& stage = *move.stage;
    std::unique_lock<std::recursive_mutex> stageLock(stage.m_lock);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_locked = number;
    }
    m_progress.notify_all();
    // From here to the end of the move the stage lock is held: every call on the stage that comes
    // after (Exit, and so the stage's deletion, included) waits until the move is over. The
    // targets are checked again and the driver is called in one step, so no limit or
    // "AxisEnabled" change can come between them.
    int result = c_GeneralFailure;
    try {
        if (stage.GetStopCount() != move.stopCount)
            result = c_Stopped;
        else if (!move.check || (result = move.check(stage, move.targets)) == c_OK)
            result = stage.SetPositionSince(move.targets, move.stopCount);
    } catch (...) {
        // An exception must not leave a thread (std::terminate); it is kept as a failure.
        result = c_GeneralFailure;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result = result;
        m_finished = number;
    }
    m_progress.notify_all();
}

} // namespace stg::detail
