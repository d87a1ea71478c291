// geokern_tools._native: batches of the six China datum conversions, and of
// the iterative inverses of china/china_inverse.hpp.
//
// Each function takes `arr`, a two-dimensional float64 array whose rows
// hold (lon, lat) in degrees in columns 0 and 1 (further columns are not
// read; any strides, read-only accepted; None counts as zero rows), and
// `out`: None for a new (N, 2) float64 array, or a writable
// two-dimensional float64 array of N rows and at least two columns, whose
// columns 0 and 1 are overwritten and which is returned.  `out` may be
// `arr` itself: each row is read before it is written.
//
// Rows are converted in parallel on the OpenMP threads with the
// interpreter lock released, each exactly as the geokern function of the
// same stem (wgs84_to_gcj02_cy, ...) converts one position with its own box
// test (china/datums.hpp); rebinding geokern.out_of_china_cpp does not
// affect them.  gcj02_to_wgs84_iterative, bd09_to_gcj02_iterative and
// bd09_to_wgs84_iterative take the same arguments and solve the forward
// conversions by iteration instead (china/china_inverse.hpp).
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table rows of the nine batches, ended by an empty row.
PyMethodDef* china_batch_methods();

}  // namespace gk::tools
