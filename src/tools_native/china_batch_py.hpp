// geokern_tools._native: batches of the six China datum conversions.
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
// affect them.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table rows of the six batches, ended by an empty row.
PyMethodDef* china_batch_methods();

}  // namespace gk::tools
