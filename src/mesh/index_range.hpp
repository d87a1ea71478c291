// geokern mesh: finding triangle corner indices that no vertex row backs.
#pragma once

#include "module/strided.hpp"

#include <cstddef>
#include <cstdint>

namespace gk::mesh {

// Position of the first of indices[0 .. n) that is at or above `limit`
// (compared as unsigned 32-bit values widened to 64 bits), or -1 when
// all lie below it.
std::ptrdiff_t first_index_at_or_above(StridedItems<const uint32_t> indices, std::ptrdiff_t n,
                                       uint64_t limit) noexcept;

}  // namespace gk::mesh
