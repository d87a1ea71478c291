// geokern_tools._native: move_points(), points between a local frame and
// ECEF (ecef/local_frame.hpp), in parallel.
//
// move_points(arr, frame) takes `arr`, a two-dimensional float64 array of
// N rows with x, y, z in columns 0..2 (further columns are not read; any
// strides, read-only accepted; None for no rows), and `frame`, a float64
// (5, 3) array: the rotation R in rows 0..2, then `from` and `to`.  It
// returns a new (N, 3) float64 array whose row i is
// R @ (arr[i] - from) + to.  Rows are moved in parallel on the OpenMP
// threads with the interpreter lock released, as geokern's batches are;
// Ctrl-C stops the loop.  The array messages are geokern's; ValueError for
// a frame of another shape.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table row of move_points, ended by an empty row.
PyMethodDef* frame_batch_methods();

}  // namespace gk::tools
