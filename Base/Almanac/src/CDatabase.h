#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <cfg/GlobalPropSets.h>
#include <cfg/IPropSetStore.h>
#include <utl/CPropSet.h>

namespace cfg {

// The process's database of plugged property sets, behind the functions of <cfg/GlobalPropSets.h>:
// it fills a set from the store when the set is plugged and writes changed sets back, on a thread
// of its own while write-back is on. Two locks: m_storeMutex serialises every call into the store and every attaching
// or detaching of watches, and may be held long (a write, a wait for another process); it is
// taken before m_stateMutex, which guards the rest and is only held briefly. A change
// notification takes m_stateMutex alone, so a thread that changes a set never waits for a write.
// No set is changed while m_stateMutex is held (its notification would take it again).
class CDatabase {
public:
    using Clock = std::chrono::steady_clock;

    // Watches one plugged set and the sets nested in it on behalf of the database.
    class CWatch : public utl::IPropSetObserver {
    public:
        CWatch(CDatabase& db, const tSetKey& key) : m_db(db), m_key(key) {}
        void OnPropSetChanged(const utl::CPropSet&) noexcept override;
        const tSetKey& Key() const noexcept { return m_key; }

        // False once the set is no longer plugged under the key.
        std::atomic<bool> active{true};
        // True from a change until the write that takes it up starts: further changes in between
        // need not take the database lock.
        std::atomic<bool> pending{false};

    private:
        CDatabase& m_db;
        const tSetKey m_key;
    };

    CDatabase();
    // The end of the process: the thread stops, what is unwritten is written, the file closes.
    void Shutdown();

    bool Plug(const tSetKey& key, const utl::PropSetPtr& set, bool keepSetValues);
    bool UnPlug(const tSetKey& key);
    bool Flush();
    utl::PropSetPtr Get(const tSetKey& key);
    void SetStore(std::unique_ptr<IPropSetStore> store);
    bool SetConfigPath(const std::string& path);
    std::string ConfigPath();
    std::string Error();
    bool WaitForWriteBack(std::chrono::milliseconds timeout);

    bool WritesBack() const noexcept { return m_writeBack.load(std::memory_order_acquire); }
    void MarkChanged(CWatch& watch);

private:
    struct tPlugged {
        utl::PropSetPtr set;
        std::shared_ptr<CWatch> watch;
        // What this process last read from or wrote into the store for the key (a snapshot);
        // writes carry only what differs from it. Null: the set replaces what is stored.
        utl::PropSetPtr base;
    };

    // Expect m_storeMutex held.
    bool WriteRound(bool everything);
    void Attach(std::unique_ptr<IPropSetStore> store, const std::string& path, const std::string& error);
    std::string StoreError(const char* fallback) const;
    // Expect m_stateMutex held.
    void MarkChangedLocked(CWatch& watch);
    void RunWriter();

    std::mutex m_storeMutex;
    std::unique_ptr<IPropSetStore> m_store; // guarded by m_storeMutex

    std::mutex m_stateMutex;
    std::map<tSetKey, tPlugged> m_plugged;
    std::set<tSetKey> m_changed; // changed and not yet taken up by a write
    std::string m_path;
    std::string m_error;
    // Why the file chosen could not be used, while the database works in memory instead: a write
    // into memory succeeds but saves nothing, so it leaves this in m_error.
    std::string m_unusable;
    std::atomic<bool> m_writeBack{false}; // changed under both locks
    Clock::time_point m_due;              // when the writer thread writes m_changed
    std::uint64_t m_roundsStarted = 0;
    std::uint64_t m_lastRoundWritten = 0; // the number of the last round that succeeded
    bool m_roundRunning = false;
    bool m_stopping = false; // no writer thread from now on
    bool m_closed = false;   // after Shutdown: memory only
    bool m_reportedFailure = false;
    std::condition_variable m_wake;    // the writer thread
    std::condition_variable m_written; // WaitForWriteBack
    std::thread m_writer;
    const pid_t m_pid = getpid();
};

} // namespace cfg
