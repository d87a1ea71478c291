// geokern china: the BD-09 conversions as native exports and module-level
// functions.  Every result is a new list [lon, lat] in degrees.  The
// compositions with WGS-84 go through the GCJ-02 conversions
// (gcj02_py.hpp), whose China box test they share; the BD-09 step itself
// applies to every position.
#pragma once

#include "module/function.hpp"

namespace gk {

// Published in __pyx_capi__.
PyObject* gcj02_to_bd09(const double lon, const double lat);
PyObject* bd09_to_gcj02(const double lon, const double lat);
PyObject* wgs84_to_bd09(const double lon, const double lat);
PyObject* bd09_to_wgs84(const double lon, const double lat);

// The module-level functions of (lon, lat) over them.
PyObject* gcj02_to_bd09_cy(Call& call);
PyObject* bd09_to_gcj02_cy(Call& call);
PyObject* wgs84_to_bd09_cy(Call& call);
PyObject* bd09_to_wgs84_cy(Call& call);

}  // namespace gk
