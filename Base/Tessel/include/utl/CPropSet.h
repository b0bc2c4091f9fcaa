#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <mem/CBin.h>

namespace utl {

// A set of typed values keyed by an int property ID.
//
// Safe for concurrent use: every operation takes the set's own mutex for its duration, and no
// operation calls out while holding it, so sets never wait for each other. IDs are kept sorted in
// one contiguous array and the values in a parallel one, so a look-up is a binary search over a
// few cache lines and a read of a scalar copies it without allocating.
class CPropSet {
public:
    using Entry = std::pair<int, mem::CBin>;

    CPropSet() = default;
    CPropSet(const CPropSet& other);            // copies other's values (nested sets stay shared)
    CPropSet& operator=(const CPropSet& other); // likewise

    // Stores `value` under `id`, replacing an earlier value. Always answers true.
    bool SetProperty(int id, const mem::CBin& value);
    // Copies the value of `id` into `value` and answers true; false (value untouched) when absent.
    bool GetProperty(int id, mem::CBin& value) const;
    bool PropertyExists(int id) const;
    // Removes `id`; true when it was present.
    bool DelProperty(int id);

    std::size_t Count() const;
    std::vector<int> GetPropertyIDs() const; // ascending
    // Every entry, ascending by ID, taken under one hold of the lock (a consistent snapshot).
    std::vector<Entry> Snapshot() const;
    // Replaces the whole content by `entries` (IDs in any order; a later duplicate wins).
    void Assign(std::vector<Entry> entries);
    void Clear();

    // A deep copy: property-set vectors are copied set by set, so the copy shares nothing.
    boost::shared_ptr<CPropSet> Clone() const;

private:
    std::size_t LowerBound(int id) const noexcept; // expects m_mutex held

    mutable std::mutex m_mutex;
    std::vector<int> m_ids;          // sorted ascending
    std::vector<mem::CBin> m_values; // m_values[i] belongs to m_ids[i]
};

using PropSetPtr = boost::shared_ptr<CPropSet>;

} // namespace utl
