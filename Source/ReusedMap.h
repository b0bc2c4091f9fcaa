#pragma once

#include <array>
#include <utility>

namespace stg::detail {

// Refills `map` with the entries that `fill` puts (fill(put), put(key, value); a later put of a
// key overwrites the earlier), reusing the nodes the map holds: refilled with no more entries than
// it held, the map allocates nothing. While the keys come in the order the map holds them (a
// request for the same axes as the last), the values are replaced in place. Not atomic: an
// exception from `fill` leaves the entries put so far.
template <class Map, class Fill>
void Refill(Map& map, Fill&& fill)
{
    auto next = map.begin(); // while in order: the first entry not yet refilled
    bool inOrder = true;
    Map spare; // the nodes to reuse once out of order
    const auto put = [&](const typename Map::key_type& key, const typename Map::mapped_type& value) {
        if (inOrder) {
            if (next != map.end() && next->first == key) {
                (next++)->second = value;
                return;
            }
            inOrder = false;
            while (next != map.end())
                spare.insert(map.extract(next++));
        }
        const auto found = map.find(key);
        if (found != map.end()) {
            found->second = value;
        } else if (spare.empty()) {
            map.emplace(key, value);
        } else {
            auto node = spare.extract(spare.begin());
            node.key() = key;
            node.mapped() = value;
            map.insert(std::move(node));
        }
    };
    fill(put);
    if (inOrder)
        map.erase(next, map.end());
}

// A map of the calling thread that keeps its nodes from one use to the next, for the short-lived
// request maps of the position reads: refilled (above) with the same number of entries as at the
// thread's previous use, it allocates nothing. Uses nested on one thread (a layer's map while the
// layer above holds its own) get maps of their own: a few levels from the thread's slots, deeper
// ones a fresh map. Holds a few nodes per thread, level and map type.
template <class Map>
class CReusedMap {
public:
    CReusedMap()
    {
        tSlots& slots = Slots();
        for (auto& slot : slots) {
            if (!slot.taken) {
                slot.taken = true;
                m_slot = &slot;
                m_map = &slot.map;
                break;
            }
        }
    }
    ~CReusedMap()
    {
        if (m_slot)
            m_slot->taken = false;
    }
    CReusedMap(const CReusedMap&) = delete;
    CReusedMap& operator=(const CReusedMap&) = delete;

    Map& Get() noexcept { return *m_map; }

private:
    struct tSlot {
        Map map;
        bool taken = false;
    };
    using tSlots = std::array<tSlot, 3>;
    static tSlots& Slots()
    {
        // The slots are an ordinary thread-local object (built on first use, destroyed when the
        // thread ends); the pointer to them lives in the static TLS block (initial-exec, a few
        // bytes), so that finding them is one load relative to the thread pointer.
        [[gnu::tls_model("initial-exec")]] static thread_local tSlots* found = nullptr;
        if (!found) {
            static thread_local tSlots slots;
            found = &slots;
        }
        return *found;
    }

    tSlot* m_slot = nullptr;
    Map m_own; // for a use nested deeper than the slots
    Map* m_map = &m_own;
};

} // namespace stg::detail
