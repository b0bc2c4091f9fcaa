#include <cfg/GlobalPropSets.h>

#include <map>
#include <mutex>

namespace cfg {
namespace {

// The default: nothing is kept beyond the plugged sets themselves, which live as long as the
// process. A set handed over to a new object of the same component is copied from the set
// plugged before it, so no store is needed for that.
class CNoStore : public IPropSetStore {
public:
    bool Load(const tSetKey&, utl::CPropSet&) override { return false; }
    bool Save(const std::vector<std::pair<tSetKey, utl::PropSetPtr>>&) override { return true; }
    bool Erase(const tSetKey&) override { return true; }
};

struct tDatabase {
    std::mutex mutex; // guards the maps and every call into the store
    std::map<tSetKey, utl::PropSetPtr> plugged;
    std::unique_ptr<IPropSetStore> store = std::make_unique<CNoStore>();
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
    db.store = store ? std::move(store) : std::make_unique<CNoStore>();
}

} // namespace cfg
