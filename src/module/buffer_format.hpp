// geokern module layer: checking an acquired buffer against a view kind.
//
// The buffer's number of dimensions, its struct-module format (one element
// of the kind's type, native or little-endian), its item size and its
// sub-offsets are checked in that order; the first failure raises
// ValueError with one of these messages:
//   "Buffer has wrong number of dimensions (expected 2, got 1)"
//   "Buffer dtype mismatch, expected 'const double' but got 'float'"
//   "Big-endian buffer not supported on little-endian compiler"
//   "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"
//   "Buffer not compatible with direct access in dimension 0."
#pragma once

#include "module/python.hpp"
#include "module/view_kind.hpp"

namespace gk {

// True when `buffer` can be viewed as `kind`; false with ValueError set.
bool check_buffer(const Py_buffer& buffer, const ViewKind& kind);

}  // namespace gk
