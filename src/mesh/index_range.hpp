// geokern mesh: triangle corner indices that no vertex row backs.
#pragma once

#include "core/strided.hpp"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace gk::mesh {

// Position of the first of indices[0 .. n) that is at or above `limit`
// (compared as unsigned 32-bit values widened to 64 bits), or -1 when
// all lie below it.
std::ptrdiff_t first_index_at_or_above(StridedItems<const uint32_t> indices, std::ptrdiff_t n,
                                       uint64_t limit) noexcept;

// The corners of triangle t, each read once from memory that another
// thread may be writing, and checked against `limit` on that copy: a
// kernel addresses rows only through the copies, never through a second
// read.  The first corner at or above the limit is kept in `bad`.
struct CheckedCorners {
    StridedItems<const uint32_t> indices;
    uint64_t limit;
    std::optional<uint32_t> bad;

    bool read(std::ptrdiff_t t, uint32_t (&corner)[3]) noexcept {
        assert(limit <= uint64_t{1} << 31);  // indices read as signed 32-bit values
        for (int k = 0; k < 3; ++k) {
            corner[k] = indices.load_once(3 * t + k);
            if (corner[k] >= limit) {
                bad = corner[k];
                return false;
            }
        }
        return true;
    }
};

}  // namespace gk::mesh
