// geokern mesh: finding out-of-range corner indices (see index_range.hpp).
//
// Valid meshes are the common case, so the scan takes the maximum of each
// block (a loop the compiler vectorises) and only looks for the position
// inside a block whose maximum is too large.
#include "mesh/index_range.hpp"

#include <algorithm>

namespace gk::mesh {

std::ptrdiff_t first_index_at_or_above(StridedItems<const uint32_t> indices, std::ptrdiff_t n,
                                       uint64_t limit) noexcept {
    constexpr std::ptrdiff_t kBlock = 4096;
    for (std::ptrdiff_t begin = 0; begin < n; begin += kBlock) {
        const std::ptrdiff_t end = std::min(n, begin + kBlock);
        uint32_t highest = 0;
        for (std::ptrdiff_t i = begin; i < end; ++i) highest = std::max(highest, indices[i].get());
        if (highest < limit) continue;
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            if (indices[i] >= limit) return i;
        }
    }
    return -1;
}

}  // namespace gk::mesh
