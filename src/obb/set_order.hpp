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

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace gk::obb {

// True when a Python set of the distinct `references` iterates them in
// ascending order, by the rule above.
bool iterates_ascending(std::span<const int64_t> references) noexcept;

// The smallest power of two above the number of `references`: a set of
// them iterates ascending when they all lie below it.
inline uint64_t ascending_bound(std::span<const int64_t> references) noexcept {
    return std::bit_ceil(static_cast<uint64_t>(references.size()) + 1);
}

// Calls visit(v) for the distinct `references` in ascending order; those
// outside [0, ascending_bound) are passed over.  Stops at the first call
// that returns false, and returns false then.
template <class Visit>
bool visit_ascending(std::span<const int64_t> references, Visit visit) {
    const uint64_t bound = ascending_bound(references);
    std::vector<uint64_t> present(bound / 64 + 1, 0);
    for (int64_t v : references) {
        const auto u = static_cast<uint64_t>(v);
        if (u < bound) present[u / 64] |= uint64_t{1} << (u & 63);
    }
    for (size_t word = 0; word < present.size(); ++word) {
        for (uint64_t bits = present[word]; bits != 0; bits &= bits - 1) {
            if (!visit(static_cast<int64_t>(word * 64) + std::countr_zero(bits))) return false;
        }
    }
    return true;
}

}  // namespace gk::obb
