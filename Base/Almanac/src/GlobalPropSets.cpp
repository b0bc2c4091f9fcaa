#include <cfg/GlobalPropSets.h>

#include <map>
#include <mutex>

namespace cfg {
namespace {

// Keeps deep copies of the sets as they were at the last flush.
class CMemoryStore : public IPropSetStore {
public:
    bool Load(const tSetKey& key, utl::CPropSet& set) override
    {
        auto it = m_saved.find(key);
        if (it == m_saved.end())
            return false;
        for (auto& entry : it->second->Clone()->Snapshot())
            set.SetProperty(entry.first, entry.second);
        return true;
    }
    bool Save(const std::vector<std::pair<tSetKey, utl::PropSetPtr>>& sets) override
    {
        std::map<tSetKey, utl::PropSetPtr> saved = m_saved;
        for (const auto& [key, set] : sets)
            saved[key] = set->Clone();
        m_saved.swap(saved);
        return true;
    }
    bool Erase(const tSetKey& key) override { return m_saved.erase(key) > 0; }

private:
    std::map<tSetKey, utl::PropSetPtr> m_saved;
};

struct tDatabase {
    std::mutex mutex; // guards the maps and every call into the store
    std::map<tSetKey, utl::PropSetPtr> plugged;
    std::unique_ptr<IPropSetStore> store = std::make_unique<CMemoryStore>();
};

tDatabase& Database()
{
    static tDatabase database;
    return database;
}

} // namespace

bool PlugGlobalPropSet(int group, std::uint32_t id, const utl::PropSetPtr& set, bool keepSetValues)
{
    if (!set)
        return false;
    tDatabase& db = Database();
    std::lock_guard<std::mutex> lock(db.mutex);
    const tSetKey key{group, id};
    auto it = db.plugged.find(key);
    if (!keepSetValues) {
        if (it != db.plugged.end() && it->second && it->second != set) {
            for (auto& entry : it->second->Clone()->Snapshot())
                set->SetProperty(entry.first, entry.second);
        } else if (it == db.plugged.end()) {
            db.store->Load(key, *set);
        }
    }
    db.plugged[key] = set;
    return true;
}

bool UnPlugGlobalPropSet(int group, std::uint32_t id)
{
    tDatabase& db = Database();
    std::lock_guard<std::mutex> lock(db.mutex);
    const tSetKey key{group, id};
    db.store->Erase(key);
    return db.plugged.erase(key) > 0;
}

bool Flush()
{
    tDatabase& db = Database();
    std::lock_guard<std::mutex> lock(db.mutex);
    std::vector<std::pair<tSetKey, utl::PropSetPtr>> sets(db.plugged.begin(), db.plugged.end());
    return db.store->Save(sets);
}

utl::PropSetPtr GetGlobalPropSet(int group, std::uint32_t id)
{
    tDatabase& db = Database();
    std::lock_guard<std::mutex> lock(db.mutex);
    auto it = db.plugged.find(tSetKey{group, id});
    return it == db.plugged.end() ? utl::PropSetPtr() : it->second;
}

void SetStore(std::unique_ptr<IPropSetStore> store)
{
    tDatabase& db = Database();
    std::lock_guard<std::mutex> lock(db.mutex);
    db.store = store ? std::move(store) : std::make_unique<CMemoryStore>();
}

} // namespace cfg
