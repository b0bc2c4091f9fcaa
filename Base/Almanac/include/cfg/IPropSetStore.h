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
    // Forgets what is stored under `key`.
    virtual bool Erase(const tSetKey& key) = 0;
    // Whether the database writes changes into this store by itself: shortly after they happen
    // (from its own thread), when the store is replaced and when the process ends. Without it
    // (the default) the store is written only by Flush and told only about UnPlugGlobalPropSet,
    // always on the calling thread.
    virtual bool WantsWriteBack() const { return false; }
};

} // namespace cfg
