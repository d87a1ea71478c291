// geokern_tools._native: the coordinates of a column of WKB geometries, read
// out and written back (wkb.hpp), as an Arrow binary column holds them.
//
// wkb_coordinates(data, offsets, valid=None) -> (xyz, counts, summary)
//   data: the bytes of all blobs (any buffer); offsets: int64 (n + 1,),
//   blob i is data[offsets[i]:offsets[i + 1]]; valid: None or bool/uint8
//   (n,), rows whose entry is 0 are missing and have no coordinates.
//   xyz: float64 (M, 3), the x, y, z of every coordinate of every blob in
//   order (z = 0 for 2-D geometries); counts: int64 (n,), coordinates per
//   row; summary: uint16 (n,), the outer type (bits 0-7, ISO 1..17) with
//   0x100 for Z and 0x200 for M, 0 for missing rows.
//
// wkb_rewrite(data, offsets, valid, xyz) -> (offsets, data)
//   The same column with each blob rewritten as little-endian ISO WKB whose
//   coordinates are the rows of xyz (C-contiguous float64 (M, 3), in the
//   order wkb_coordinates gives them), each geometry keeping its
//   dimensions; offsets int64 (n + 1,), data uint8; missing rows take no
//   bytes.  wkb_rewrite_3d does the same with a z on every coordinate.
//
// Both raise ValueError "row <i>: <reason>" for the first bad row (offsets
// out of range, bad WKB) and ValueError when xyz does not hold exactly the
// column's coordinates.  The blobs are walked in parallel with the
// interpreter lock released; every offset and count is checked where it is
// used, so another thread writing the arguments meanwhile can cause an
// error but no access outside them.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table rows of wkb_coordinates, wkb_rewrite and wkb_rewrite_3d,
// ended by an empty row.
PyMethodDef* wkb_methods();

}  // namespace gk::tools
