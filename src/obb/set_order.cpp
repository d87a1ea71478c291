// geokern obb: the order in which a Python set of vertex references
// iterates (see set_order.hpp).
#include "obb/set_order.hpp"

#include <algorithm>
#include <bit>

namespace gk::obb {

bool iterates_ascending(std::span<const int64_t> references) noexcept {
    if (references.empty()) return true;
    const auto [low, high] = std::minmax_element(references.begin(), references.end());
    const uint64_t bound = std::bit_ceil(static_cast<uint64_t>(references.size()) + 1);
    return *low >= 0 && static_cast<uint64_t>(*high) < bound;
}

std::vector<int64_t> ascending(std::span<const int64_t> references) {
    const int64_t high =
        references.empty() ? 0 : *std::max_element(references.begin(), references.end());
    std::vector<uint64_t> present(static_cast<size_t>(high) / 64 + 1, 0);
    for (int64_t v : references) present[static_cast<size_t>(v) / 64] |= uint64_t{1} << (v & 63);
    std::vector<int64_t> sorted;
    sorted.reserve(references.size());
    for (size_t word = 0; word < present.size(); ++word) {
        for (uint64_t bits = present[word]; bits != 0; bits &= bits - 1) {
            sorted.push_back(static_cast<int64_t>(word * 64) + std::countr_zero(bits));
        }
    }
    return sorted;
}

}  // namespace gk::obb
