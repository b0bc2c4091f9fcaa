#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <mem/CBin.h>

namespace utl {

class CPropSet;

// Told about every change of the content of a property set it observes (see CPropSet::SetObserver).
class IPropSetObserver {
public:
    virtual ~IPropSetObserver() = default;
    // Called after `set` changed, on the thread that changed it, with no lock of the set held (the
    // observer may read or write the set). Must not throw.
    virtual void OnPropSetChanged(const CPropSet& set) noexcept = 0;
};

// A set of typed values keyed by an int property ID.
//
// Safe for concurrent use: every operation takes the set's own mutex for its duration (a look-up
// and a copy), and no operation calls out while holding it, so sets never wait for each other.
// IDs are kept sorted in one contiguous array and the values in a parallel one; a look-up is a
// binary search, and a read of a scalar copies it without allocating. Readers that need the same
// values again and again keep them and compare Generation() instead of reading.
//
// A set may have one observer, told after each change of its content: SetProperty, a successful
// DelProperty, Assign, Clear and assignment from another set. Reads never notify and cost nothing
// extra. A change inside a nested set (an element of a property-set vector) is that set's own
// change; it does not notify the set that holds the vector.
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
    // Neither a copy nor a clone takes over the observer.
    boost::shared_ptr<CPropSet> Clone() const;

    // Replaces the observer (null: none). A notification already under way may still reach the
    // previous observer, which the set keeps alive until then.
    void SetObserver(std::shared_ptr<IPropSetObserver> observer);
    std::shared_ptr<IPropSetObserver> GetObserver() const;

    // A count of the changes of the content, bumped by every change that notifies (above) before
    // the changing call returns. A reader that cached values read from the set after taking the
    // count may keep them for as long as the count is the same: the set has not changed since.
    // Cheap (one atomic load); a nested set counts its own changes.
    std::uint64_t Generation() const noexcept { return m_generation.load(std::memory_order_acquire); }

private:
    std::size_t LowerBound(int id) const noexcept; // expects m_lock held
    static constexpr std::size_t c_absent = SIZE_MAX;
    std::size_t Find(int id) const noexcept; // the index of `id`, or c_absent; expects m_lock held
    static void Notify(const std::shared_ptr<IPropSetObserver>& observer, const CPropSet& set) noexcept;

    mutable std::mutex m_lock;
    std::vector<int> m_ids;          // sorted ascending
    std::vector<mem::CBin> m_values; // m_values[i] belongs to m_ids[i]
    std::shared_ptr<IPropSetObserver> m_observer;
    std::atomic<std::uint64_t> m_generation{0}; // bumped under m_lock by every change
};

using PropSetPtr = boost::shared_ptr<CPropSet>;

} // namespace utl
