#pragma once

#include <utl/CPropSet.h>

namespace cfg {

// Compares what a writer last knew of a set (`base`) with what it holds now (`current`), property
// by property, and answers whether anything differs. With `target` given, every difference is
// written into `target`, which holds what someone else may have stored meanwhile; what `current`
// and `base` agree on is left in `target` as it is.
//
// Property-set vectors (an axis list) are compared element by element when `base` and `current`
// have the same number of elements, null elements in the same places: a change inside one nested
// set touches only that set's properties in the matching element of `target`. When the vector
// itself changed shape, or `target` holds no vector of that shape, the whole property is taken
// from `current`.
//
// The sets must not change during the call; callers compare snapshots (CPropSet::Clone).
bool MergeChanges(const utl::CPropSet& base, const utl::CPropSet& current, utl::CPropSet* target);

} // namespace cfg
