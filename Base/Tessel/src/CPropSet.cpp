#include <utl/CPropSet.h>

#include <algorithm>

#include <boost/make_shared.hpp>

namespace utl {

CPropSet::CPropSet(const CPropSet& other) { Assign(other.Snapshot()); }

CPropSet& CPropSet::operator=(const CPropSet& other)
{
    if (this != &other)
        Assign(other.Snapshot()); // the two locks are never held together
    return *this;
}

std::size_t CPropSet::LowerBound(int id) const noexcept
{
    // A binary search whose step is a conditional move rather than a branch: the IDs a caller
    // asks for in turn differ, so a branch would be mispredicted at every other step.
    if (m_ids.empty())
        return 0;
    const int* base = m_ids.data();
    for (std::size_t n = m_ids.size(); n > 1;) {
        const std::size_t half = n / 2;
        base = base[half] < id ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - m_ids.data()) + (*base < id ? 1 : 0);
}

std::size_t CPropSet::Find(int id) const noexcept
{
    const std::size_t i = LowerBound(id);
    return i == m_ids.size() || m_ids[i] != id ? c_absent : i;
}

void CPropSet::Notify(const std::shared_ptr<IPropSetObserver>& observer, const CPropSet& set) noexcept
{
    if (observer)
        observer->OnPropSetChanged(set);
}

bool CPropSet::SetProperty(int id, const mem::CBin& value)
{
    std::shared_ptr<IPropSetObserver> observer;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const std::size_t i = LowerBound(id);
        if (i < m_ids.size() && m_ids[i] == id) {
            m_values[i] = value;
        } else {
            // Insert the value first: if the ID insertion then throws, undo it to keep both arrays
            // paired.
            m_values.insert(m_values.begin() + static_cast<std::ptrdiff_t>(i), value);
            try {
                m_ids.insert(m_ids.begin() + static_cast<std::ptrdiff_t>(i), id);
            } catch (...) {
                m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(i));
                throw;
            }
        }
        observer = m_observer;
        m_generation.fetch_add(1, std::memory_order_release);
    }
    Notify(observer, *this);
    return true;
}

bool CPropSet::GetProperty(int id, mem::CBin& value) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    const std::size_t i = Find(id);
    if (i == c_absent)
        return false;
    value = m_values[i];
    return true;
}

bool CPropSet::PropertyExists(int id) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return Find(id) != c_absent;
}

bool CPropSet::DelProperty(int id)
{
    std::shared_ptr<IPropSetObserver> observer;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const std::size_t i = LowerBound(id);
        if (i == m_ids.size() || m_ids[i] != id)
            return false;
        m_ids.erase(m_ids.begin() + static_cast<std::ptrdiff_t>(i));
        m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(i));
        observer = m_observer;
        m_generation.fetch_add(1, std::memory_order_release);
    }
    Notify(observer, *this);
    return true;
}

std::size_t CPropSet::Count() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ids.size();
}

std::vector<int> CPropSet::GetPropertyIDs() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ids;
}

std::vector<CPropSet::Entry> CPropSet::Snapshot() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Entry> entries;
    entries.reserve(m_ids.size());
    for (std::size_t i = 0; i < m_ids.size(); ++i)
        entries.emplace_back(m_ids[i], m_values[i]);
    return entries;
}

void CPropSet::Assign(std::vector<Entry> entries)
{
    // Stable sort keeps the order of duplicates, so the last of each ID can win.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.first < b.first; });
    std::vector<int> ids;
    std::vector<mem::CBin> values;
    ids.reserve(entries.size());
    values.reserve(entries.size());
    for (auto& entry : entries) {
        if (!ids.empty() && ids.back() == entry.first) {
            values.back() = std::move(entry.second);
            continue;
        }
        ids.push_back(entry.first);
        values.push_back(std::move(entry.second));
    }
    std::shared_ptr<IPropSetObserver> observer;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ids.swap(ids);
        m_values.swap(values);
        observer = m_observer;
        m_generation.fetch_add(1, std::memory_order_release);
    }
    Notify(observer, *this);
    // The previous content (in ids and values) is released here, outside the lock.
}

void CPropSet::Clear() { Assign({}); }

boost::shared_ptr<CPropSet> CPropSet::Clone() const
{
    std::vector<Entry> entries = Snapshot();
    for (auto& entry : entries) {
        mem::PropSetVector nested;
        if (!entry.second.Restore(nested))
            continue;
        for (auto& set : nested)
            if (set)
                set = set->Clone();
        const bool hadUnit = entry.second.HasUnit();
        utl::CUnit unit;
        entry.second.GetUnit(unit);
        entry.second.Store(nested);
        if (hadUnit)
            entry.second.SetUnit(unit);
    }
    auto copy = boost::make_shared<CPropSet>();
    copy->Assign(std::move(entries));
    return copy;
}

void CPropSet::SetObserver(std::shared_ptr<IPropSetObserver> observer)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_observer.swap(observer);
    }
    // The previous observer is released here, outside the lock.
}

std::shared_ptr<IPropSetObserver> CPropSet::GetObserver() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_observer;
}

} // namespace utl
