#pragma once

#include <cstdint>
#include <memory>

#include <cfg/IPropSetStore.h>
#include <utl/CPropSet.h>

namespace cfg {

// The configuration database: property sets that components hand over ("plug") under a group
// and an ID, so that their settings are kept where the application keeps its configuration.
// All functions are thread-safe; the sets themselves are thread-safe (utl::CPropSet).

// Plugs `set` under (group, id). With `keepSetValues` false the set is first filled with the
// settings known for the key: those of the set plugged there until now (a new object of the same
// component takes over the settings of the old one), or else those in the store. With
// `keepSetValues` true the set keeps exactly what it holds. A set plugged earlier under the key
// is replaced. Answers false for a null set.
bool PlugGlobalPropSet(int group, std::uint32_t id, const utl::PropSetPtr& set, bool keepSetValues);

// Takes the set of (group, id) out of the database and forgets what the store holds for it, so
// that the next set plugged there starts from nothing. False when nothing was plugged there.
bool UnPlugGlobalPropSet(int group, std::uint32_t id);

// Writes every plugged set to the store. False when the store refused.
bool Flush();

// The set plugged under (group, id), or null.
utl::PropSetPtr GetGlobalPropSet(int group, std::uint32_t id);

// Replaces the store. The default keeps nothing beyond the plugged sets, which live in memory for
// the life of the process; nullptr restores it.
// Meant for start-up, before the first set is plugged; the sets plugged so far stay plugged.
void SetStore(std::unique_ptr<IPropSetStore> store);

} // namespace cfg
