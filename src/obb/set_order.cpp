// geokern obb: the order in which a Python set of vertex references
// iterates (see set_order.hpp).
#include "obb/set_order.hpp"

#include <algorithm>
#include <bit>

namespace gk::obb {

bool iterates_ascending(std::span<const int64_t> references) noexcept {
    if (references.empty()) return true;
    const auto [low, high] = std::minmax_element(references.begin(), references.end());
    const uint64_t bound = ascending_bound(references);
    return *low >= 0 && static_cast<uint64_t>(*high) < bound;
}

}  // namespace gk::obb
