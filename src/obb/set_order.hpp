// geokern obb: the order in which a Python set of vertex references
// iterates.
//
// A Python set keeps its entries in a table whose size is a power of two
// larger than the number of entries; an int v with 0 <= v < 2^61 - 1
// hashes to v, and is placed first at slot v mod size, probing further
// only when that slot is taken.  So when every entry lies in [0, P), P the
// smallest power of two above the number of entries, each entry sits at
// slot v and the set iterates in ascending order, whatever order the
// entries were added in.  That is so for the references of an ordinary OBJ
// file (every vertex used, none counted from the end); for other files the
// caller builds the set itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace gk::obb {

// True when a Python set of the distinct `references` iterates them in
// ascending order, by the rule above.
bool iterates_ascending(std::span<const int64_t> references) noexcept;

// The distinct, non-negative `references` in ascending order.
std::vector<int64_t> ascending(std::span<const int64_t> references);

}  // namespace gk::obb
