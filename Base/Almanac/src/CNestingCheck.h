#pragma once

#include <map>
#include <set>
#include <string>

namespace cfg::detail {

// How deep sets may nest below the set of a key. A stage nests one level (its axes); the bound
// keeps a hostile or damaged file from sending a reader of its sets into endless recursion.
constexpr int c_maxNestingDepth = 16;

// The nesting of the sets of one key, as the pairs (set, nested set) of its set_element rows:
// Fault() says why it cannot be loaded, or answers "" when no set contains itself at any depth
// and no chain of nested sets is deeper than c_maxNestingDepth. Recursion stops at that depth.
class CNestingCheck {
public:
    void Add(int setNo, int child) { m_children.emplace(setNo, child); }

    std::string Fault()
    {
        for (const auto& entry : m_children) {
            const int height = Height(entry.first, 0);
            if (height == c_cycle)
                return "a nested set contains itself";
            if (height > c_maxNestingDepth)
                return "sets nest deeper than " + std::to_string(c_maxNestingDepth) + " levels";
        }
        return "";
    }

private:
    static constexpr int c_cycle = -1;

    // How many levels of sets lie below `setNo`, found `depth` levels below the set measured
    // first; c_cycle on a cycle, more than the bound (without looking further) on a chain too deep.
    int Height(int setNo, int depth)
    {
        if (const auto done = m_height.find(setNo); done != m_height.end())
            return done->second;
        if (depth > c_maxNestingDepth)
            return depth;
        if (!m_path.insert(setNo).second)
            return c_cycle;
        int height = 0;
        for (auto [it, end] = m_children.equal_range(setNo); it != end && height <= c_maxNestingDepth; ++it) {
            const int below = Height(it->second, depth + 1);
            if (below == c_cycle) {
                m_path.erase(setNo);
                return c_cycle;
            }
            height = std::max(height, below + 1);
        }
        m_path.erase(setNo);
        m_height[setNo] = height;
        return height;
    }

    std::multimap<int, int> m_children;
    std::map<int, int> m_height; // sets already measured
    std::set<int> m_path;        // the sets on the way down to the one being measured
};

} // namespace cfg::detail
