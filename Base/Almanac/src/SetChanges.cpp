#include <cfg/SetChanges.h>

#include <cfg/IPropSetStore.h>

#include <boost/make_shared.hpp>

namespace cfg {
namespace {

// Whether `base` and `current` are vectors of the same length with null elements in the same
// places, so that their elements can be compared one by one.
bool SameShape(const mem::PropSetVector& base, const mem::PropSetVector& current)
{
    if (base.size() != current.size())
        return false;
    for (std::size_t i = 0; i < base.size(); ++i)
        if (!base[i] != !current[i])
            return false;
    return true;
}

// Whether `target` holds, for every non-null element of `current`, a set to merge into.
bool CanMergeInto(const mem::PropSetVector& target, const mem::PropSetVector& current)
{
    if (target.size() != current.size())
        return false;
    for (std::size_t i = 0; i < current.size(); ++i)
        if (current[i] && !target[i])
            return false;
    return true;
}

// Compares one property present in both sets; see MergeChanges.
bool MergeProperty(int id, const mem::CBin& base, const mem::CBin& current, utl::CPropSet* target)
{
    mem::PropSetVector baseSets, currentSets;
    if (!base.Restore(baseSets) || !current.Restore(currentSets) || base.HasUnit() != current.HasUnit() ||
        !SameShape(baseSets, currentSets)) {
        if (base == current)
            return false;
        if (target)
            target->SetProperty(id, current);
        return true;
    }
    bool differs = false;
    for (std::size_t i = 0; i < baseSets.size() && !differs; ++i)
        differs = baseSets[i] && MergeChanges(*baseSets[i], *currentSets[i], nullptr);
    if (!differs || !target)
        return differs;
    mem::CBin stored;
    mem::PropSetVector targetSets;
    if (!target->GetProperty(id, stored) || !stored.Restore(targetSets) || !CanMergeInto(targetSets, currentSets)) {
        target->SetProperty(id, current);
        return true;
    }
    for (std::size_t i = 0; i < baseSets.size(); ++i)
        if (baseSets[i])
            MergeChanges(*baseSets[i], *currentSets[i], targetSets[i].get());
    return true;
}

} // namespace

bool MergeChanges(const utl::CPropSet& base, const utl::CPropSet& current, utl::CPropSet* target)
{
    const auto before = base.Snapshot(), now = current.Snapshot();
    bool differs = false;
    auto b = before.begin();
    auto c = now.begin();
    // Both snapshots are ascending by ID.
    while (b != before.end() || c != now.end()) {
        if (c == now.end() || (b != before.end() && b->first < c->first)) {
            differs = true; // removed
            if (target)
                target->DelProperty(b->first);
            ++b;
        } else if (b == before.end() || c->first < b->first) {
            differs = true; // added
            if (target)
                target->SetProperty(c->first, c->second);
            ++c;
        } else {
            differs = MergeProperty(c->first, b->second, c->second, target) || differs;
            ++b;
            ++c;
        }
        if (differs && !target)
            return true;
    }
    return differs;
}

bool IPropSetStore::SaveChanges(const std::vector<tSetChanges>& changes)
{
    std::vector<std::pair<tSetKey, utl::PropSetPtr>> sets;
    for (const auto& change : changes) {
        if (!change.base) {
            sets.emplace_back(change.key, change.current);
            continue;
        }
        auto merged = boost::make_shared<utl::CPropSet>();
        Load(change.key, *merged);
        MergeChanges(*change.base, *change.current, merged.get());
        sets.emplace_back(change.key, merged);
    }
    return Save(sets);
}

} // namespace cfg
