#pragma once

#include <cstdint>
#include <vector>

#include <utl/CPropSet.h>

namespace cfg {

// The key of a global property set: a group and an ID within the group.
struct tSetKey {
    int group = 0;
    std::uint32_t id = 0;
    bool operator<(const tSetKey& o) const noexcept { return group != o.group ? group < o.group : id < o.id; }
    bool operator==(const tSetKey& o) const noexcept { return group == o.group && id == o.id; }
};

// What a writer changed in the set of `key`: `base` is what it last read from or wrote into the
// store (null: nothing; the set then replaces whatever is stored), `current` what it holds now.
// Both are snapshots nobody changes any more.
struct tSetChanges {
    tSetKey key;
    utl::PropSetPtr base;
    utl::PropSetPtr current;
};

// Where the configuration database keeps property sets between plug-ins and across flushes. The
// database talks only to this interface, so a persistent store replaces the default one without
// any change to the database's users. Calls are serialised by the database.
class IPropSetStore {
public:
    virtual ~IPropSetStore() = default;
    // Fills `set` with what is stored under `key` (entries it already holds are overwritten);
    // answers false when nothing is stored there.
    virtual bool Load(const tSetKey& key, utl::CPropSet& set) = 0;
    // Stores every given set under its key, all or nothing. Answers false on failure.
    virtual bool Save(const std::vector<std::pair<tSetKey, utl::PropSetPtr>>& sets) = 0;
    // Writes into what is stored under each key only what differs between its base and current
    // (see cfg::MergeChanges), so that a writer never undoes what another writer (another
    // process) stored meanwhile under the same key; all or nothing. The default loads, merges and
    // saves; a store shared between processes overrides it to do that in one transaction.
    virtual bool SaveChanges(const std::vector<tSetChanges>& changes);
    // Forgets what is stored under `key`.
    virtual bool Erase(const tSetKey& key) = 0;
    // Whether the database writes changes into this store by itself: shortly after they happen
    // (from its own thread), when the store is replaced and when the process ends. Without it
    // (the default) the store is written only by Flush and told only about UnPlugGlobalPropSet,
    // always on the calling thread.
    virtual bool WantsWriteBack() const { return false; }
};

} // namespace cfg
