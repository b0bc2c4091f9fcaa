#include "CDatabase.h"

#include <unistd.h>

#include <cstdio>
#include <unordered_set>
#include <vector>

#include <cfg/CSqliteStore.h>
#include <cfg/SetChanges.h>

#include <boost/make_shared.hpp>

namespace cfg {
namespace {

using SetList = std::vector<std::pair<tSetKey, utl::PropSetPtr>>;

// Keeps nothing beyond the plugged sets themselves, which live as long as the process. A set
// handed over to a new object of the same component is copied from the set plugged before it,
// so no store is needed for that.
class CNoStore : public IPropSetStore {
public:
    bool Load(const tSetKey&, utl::CPropSet&) override { return false; }
    bool Save(const SetList&) override { return true; }
    bool Erase(const tSetKey&) override { return true; }
};

// Calls `visit` for `root` and every set nested in it, at any depth, once each.
template <class Visit>
void ForEachInTree(const utl::PropSetPtr& root, Visit&& visit)
{
    std::vector<utl::PropSetPtr> sets{root};
    std::unordered_set<const utl::CPropSet*> seen{root.get()};
    for (std::size_t i = 0; i < sets.size(); ++i) {
        visit(*sets[i]);
        for (const auto& entry : sets[i]->Snapshot()) {
            mem::PropSetVector nested;
            if (!entry.second.Restore(nested))
                continue;
            for (auto& set : nested)
                if (set && seen.insert(set.get()).second)
                    sets.push_back(std::move(set));
        }
    }
}

void AttachTree(const utl::PropSetPtr& root, const std::shared_ptr<utl::IPropSetObserver>& watch)
{
    ForEachInTree(root, [&](utl::CPropSet& set) {
        if (set.GetObserver() != watch)
            set.SetObserver(watch);
    });
}

void DetachTree(const utl::PropSetPtr& root, const std::shared_ptr<utl::IPropSetObserver>& watch)
{
    ForEachInTree(root, [&](utl::CPropSet& set) {
        if (set.GetObserver() == watch)
            set.SetObserver(nullptr);
    });
}

} // namespace

void CDatabase::CWatch::OnPropSetChanged(const utl::CPropSet&) noexcept
{
    if (!active.load(std::memory_order_acquire) || !m_db.WritesBack())
        return;
    if (!pending.exchange(true, std::memory_order_acq_rel))
        m_db.MarkChanged(*this);
}

CDatabase::CDatabase()
{
    m_store = std::make_unique<CNoStore>();
    m_path = c_inMemory;
    const char* chosen = std::getenv("PLINTH_CONFIG");
    const std::string path = chosen && *chosen ? chosen : DefaultConfigPath();
    std::string error;
    if (path == c_inMemory) {
        if (!(chosen && *chosen))
            error = "no place for the configuration file: neither XDG_DATA_HOME nor a home directory is known";
    } else if (auto store = CSqliteStore::Open(path, error, false)) {
        m_store = std::move(store);
        m_path = path;
        m_writeBack = true;
    }
    if (!error.empty()) {
        m_error = error;
        m_unusable = error;
        std::fprintf(stderr, "plinth: settings are kept in memory only: %s\n", error.c_str());
    }
}

void CDatabase::Shutdown()
{
    // A child made by fork() has neither the writer thread nor a usable file connection.
    if (getpid() != m_pid)
        return;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();

    std::lock_guard<std::mutex> store(m_storeMutex);
    if (m_writeBack && !WriteRound(false))
        std::fprintf(stderr, "plinth: settings could not be written: %s\n", Error().c_str());
    std::vector<tPlugged> plugged;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_writeBack = false;
        m_closed = true;
        m_changed.clear();
        m_path = c_inMemory;
        for (auto& entry : m_plugged) {
            entry.second.watch->active = false;
            plugged.push_back(entry.second);
        }
    }
    m_written.notify_all();
    for (const auto& entry : plugged)
        DetachTree(entry.set, entry.watch);
    m_store = std::make_unique<CNoStore>();
}

std::string CDatabase::StoreError(const char* fallback) const
{
    if (const auto* sqlite = dynamic_cast<const CSqliteStore*>(m_store.get()))
        if (!sqlite->LastError().empty())
            return sqlite->LastError();
    return fallback;
}

void CDatabase::MarkChanged(CWatch& watch)
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    MarkChangedLocked(watch);
}

void CDatabase::MarkChangedLocked(CWatch& watch)
{
    auto it = m_plugged.find(watch.Key());
    if (it == m_plugged.end() || it->second.watch.get() != &watch || !m_writeBack) {
        watch.pending = false;
        return;
    }
    watch.pending = true;
    const bool first = m_changed.empty();
    m_changed.insert(watch.Key());
    if (!first)
        return;
    m_due = Clock::now() + c_writeBackDelay;
    if (!m_writer.joinable() && !m_stopping)
        m_writer = std::thread([this] { RunWriter(); });
    m_wake.notify_all();
}

void CDatabase::RunWriter()
{
    std::unique_lock<std::mutex> state(m_stateMutex);
    while (!m_stopping) {
        if (m_changed.empty() || !m_writeBack) {
            m_wake.wait(state);
        } else if (Clock::now() < m_due) {
            m_wake.wait_until(state, m_due);
        } else {
            state.unlock();
            {
                std::lock_guard<std::mutex> store(m_storeMutex);
                if (m_writeBack && !WriteRound(false) && !m_reportedFailure) {
                    m_reportedFailure = true; // once, until a write succeeds again
                    std::fprintf(stderr, "plinth: settings could not be written (will retry): %s\n", Error().c_str());
                }
            }
            state.lock();
        }
    }
}

bool CDatabase::WriteRound(bool everything)
{
    std::vector<tPlugged> sets;
    std::vector<tSetKey> keys;
    std::uint64_t round = 0;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        for (auto& [key, entry] : m_plugged) {
            if (!everything && !m_changed.count(key))
                continue;
            entry.watch->pending = false; // a change from now on is taken up by the next round
            keys.push_back(key);
            sets.push_back(entry);
        }
        m_changed.clear();
        round = ++m_roundsStarted;
        m_roundRunning = true;
    }
    // Sets nested since the last write are watched from now on; what they hold now is compared
    // with what was last stored, and only the difference is written. A store written only by
    // Flush belongs to this process alone: it gets the plugged sets themselves, whole.
    const bool whole = !m_store->WantsWriteBack();
    SetList list;
    std::vector<tSetChanges> changes;
    std::vector<std::shared_ptr<CWatch>> changedWatches; // changedWatches[i] belongs to changes[i]
    for (std::size_t i = 0; i < sets.size(); ++i) {
        AttachTree(sets[i].set, sets[i].watch);
        if (whole) {
            list.emplace_back(keys[i], sets[i].set);
            continue;
        }
        utl::PropSetPtr snapshot = sets[i].set->Clone();
        if (!sets[i].base || MergeChanges(*sets[i].base, *snapshot, nullptr)) {
            changes.push_back(tSetChanges{keys[i], sets[i].base, std::move(snapshot)});
            changedWatches.push_back(sets[i].watch);
        }
    }
    const bool ok = whole ? list.empty() || m_store->Save(list) : changes.empty() || m_store->SaveChanges(changes);
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_roundRunning = false;
        if (ok) {
            // The next write compares with what was written now (unless the key was plugged
            // anew meanwhile).
            for (std::size_t i = 0; i < changes.size(); ++i) {
                auto it = m_plugged.find(changes[i].key);
                if (it != m_plugged.end() && it->second.watch == changedWatches[i])
                    it->second.base = changes[i].current;
            }
            m_lastRoundWritten = round;
            m_reportedFailure = false;
            m_error = m_unusable;
        } else {
            m_error = StoreError("the configuration store refused to write");
            for (auto& entry : sets)
                if (m_writeBack && entry.watch->active)
                    MarkChangedLocked(*entry.watch);
            m_due = Clock::now() + c_writeBackRetry;
        }
    }
    m_written.notify_all();
    return ok;
}

void CDatabase::Attach(std::unique_ptr<IPropSetStore> store, const std::string& path, const std::string& error)
{
    if (m_writeBack)
        WriteRound(false); // what is unwritten belongs to the store being left
    if (!store)
        store = std::make_unique<CNoStore>();
    const bool writeBack = store->WantsWriteBack();
    std::vector<tPlugged> plugged;
    std::vector<tSetKey> keys;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_writeBack = false; // the loads below are not changes to write back
        m_changed.clear();
        m_path = path;
        m_error = error;
        m_unusable = error;
        for (auto& [key, entry] : m_plugged) {
            entry.watch->pending = false;
            keys.push_back(key);
            plugged.push_back(entry);
        }
    }
    m_store = std::move(store);
    // Every plugged set takes over what the new store holds for its key.
    for (std::size_t i = 0; i < plugged.size(); ++i)
        m_store->Load(keys[i], *plugged[i].set);
    const std::string loadError = StoreError("");
    std::lock_guard<std::mutex> state(m_stateMutex);
    if (m_error.empty())
        m_error = loadError;
    m_writeBack = writeBack && !m_closed;
    // The new store gets every plugged set whole, merged as it is now.
    for (auto& [key, entry] : m_plugged)
        entry.base = nullptr;
    if (m_writeBack)
        for (auto& entry : plugged)
            if (entry.watch->active)
                MarkChangedLocked(*entry.watch);
    m_written.notify_all();
}

bool CDatabase::Plug(const tSetKey& key, const utl::PropSetPtr& set, bool keepSetValues)
{
    if (!set)
        return false;
    std::lock_guard<std::mutex> store(m_storeMutex);
    tPlugged previous;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        auto it = m_plugged.find(key);
        if (it != m_plugged.end())
            previous = it->second;
    }
    if (previous.set == set)
        return true; // the same set again: it keeps what it holds and stays watched

    // Whether the set now holds only what is known for the key already: nothing to write.
    bool known = false;
    // What the store holds for the key as far as this process knows; null when the set replaces it.
    utl::PropSetPtr base;
    if (!keepSetValues) {
        if (previous.set) {
            for (auto& entry : previous.set->Clone()->Snapshot())
                set->SetProperty(entry.first, entry.second);
            known = true;
            base = previous.base;
        } else {
            auto stored = boost::make_shared<utl::CPropSet>();
            known = m_store->Load(key, *stored);
            base = stored->Clone();
            for (auto& entry : stored->Snapshot())
                set->SetProperty(entry.first, entry.second);
            if (!known) {
                const std::string error = StoreError("");
                if (!error.empty()) {
                    std::lock_guard<std::mutex> state(m_stateMutex);
                    m_error = error;
                }
            }
        }
    }

    auto watch = std::make_shared<CWatch>(*this, key);
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (previous.watch)
            previous.watch->active = false;
        m_plugged[key] = tPlugged{set, watch, base};
    }
    if (previous.set)
        DetachTree(previous.set, previous.watch);
    AttachTree(set, watch);
    // A set that keeps its values replaces what is stored; a new set that holds nothing has
    // nothing to store yet.
    if (keepSetValues || (!known && set->Count() != 0)) {
        std::lock_guard<std::mutex> state(m_stateMutex);
        MarkChangedLocked(*watch);
    }
    return true;
}

bool CDatabase::UnPlug(const tSetKey& key)
{
    std::lock_guard<std::mutex> store(m_storeMutex);
    tPlugged plugged;
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        auto it = m_plugged.find(key);
        if (it != m_plugged.end()) {
            plugged = it->second;
            plugged.watch->active = false;
            m_plugged.erase(it);
        }
        m_changed.erase(key);
    }
    if (plugged.set)
        DetachTree(plugged.set, plugged.watch);
    const bool erased = m_store->Erase(key);
    if (!erased) {
        const std::string error = StoreError("the configuration store refused to erase");
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_error = error;
    }
    m_written.notify_all(); // what was unwritten for the key no longer needs to be
    return plugged.set && erased;
}

bool CDatabase::Flush()
{
    std::lock_guard<std::mutex> store(m_storeMutex);
    return WriteRound(true);
}

utl::PropSetPtr CDatabase::Get(const tSetKey& key)
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    auto it = m_plugged.find(key);
    return it == m_plugged.end() ? utl::PropSetPtr() : it->second.set;
}

void CDatabase::SetStore(std::unique_ptr<IPropSetStore> store)
{
    std::lock_guard<std::mutex> lock(m_storeMutex);
    const std::string path = store ? std::string() : std::string(c_inMemory);
    Attach(std::move(store), path, "");
}

bool CDatabase::SetConfigPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_storeMutex);
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (m_closed) {
            m_error = "the configuration file cannot be changed while the process ends";
            return false;
        }
    }
    if (path == c_inMemory) {
        Attach(nullptr, c_inMemory, "");
        return true;
    }
    std::string error;
    auto store = CSqliteStore::Open(path, error);
    if (!store) {
        Attach(nullptr, c_inMemory, error);
        return false;
    }
    Attach(std::move(store), path, "");
    return true;
}

std::string CDatabase::ConfigPath()
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    return m_path;
}

std::string CDatabase::Error()
{
    std::lock_guard<std::mutex> state(m_stateMutex);
    return m_error;
}

bool CDatabase::WaitForWriteBack(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> state(m_stateMutex);
    // Changes waiting now are taken up by the next round; a running round holds the others.
    const std::uint64_t target = m_changed.empty() ? m_roundsStarted : m_roundsStarted + 1;
    return m_written.wait_for(state, timeout, [&] {
        return !m_writeBack || m_lastRoundWritten >= target || (m_changed.empty() && !m_roundRunning);
    });
}

} // namespace cfg
