// geokern china: the GCJ-02 conversions as native exports and module-level
// functions.
//
// The forward conversion shifts a position only when the module's box test
// says it is inside China.  That test is found by the name
// `out_of_china_cpp`, in the module namespace and then the builtins, at
// every call, and its result's truth value decides: rebinding the name
// changes which positions are shifted, deleting it makes the conversions
// raise NameError.  While the name still holds the module's own test, the
// native box test runs directly, with the same result.
#pragma once

#include "china/lonlat.hpp"
#include "module/function.hpp"

namespace gk {

// WGS-84 (lon, lat) to GCJ-02: a new list [lon, lat], the input unchanged,
// outside China; a new tuple (lon', lat') inside.  Published in
// __pyx_capi__.
PyObject* wgs84_to_gcj02(const double lon, const double lat);

// GCJ-02 (lon, lat) to WGS-84 in one step: the position minus the offset
// the forward conversion finds at the position itself, as a new list.  A
// first-order estimate: within a metre inland, about two at the coast,
// and far worse near the box edges, where the shift moves a point across
// the edge.  Outside China the input comes back unchanged.  Published in
// __pyx_capi__.
PyObject* gcj02_to_wgs84(const double lon, const double lat);

// The numbers of wgs84_to_gcj02, for native callers that unpack them at
// once.  False with an exception set (and the traceback entries of
// wgs84_to_gcj02) on failure.
bool wgs84_to_gcj02_values(double lon, double lat, china::LonLat& out);

// The module-level functions of (lon, lat) over them.
PyObject* wgs84_to_gcj02_cy(Call& call);
PyObject* gcj02_to_wgs84_cy(Call& call);

}  // namespace gk
