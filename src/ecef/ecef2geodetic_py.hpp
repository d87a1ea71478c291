// geokern ecef: the one-point ECEF-to-geodetic solver.
//
// ecef2geodetic_cy(x, y, z) -> [lon deg, lat deg, height m]: the angles are
// plain floats converted through the module-level `degrees`, the height a
// numpy float64.  The solver is ecef::solve (ecef2geodetic.hpp) with
// numpy's own arctan, cos and hypot (module/numpy_math.hpp).
#pragma once

#include "module/function.hpp"

namespace gk {
// Native export.  New reference, or nullptr with an exception set.
PyObject* ecef2geodetic_cython(const double x, const double y, const double z);

// The module-level function over it.
PyObject* ecef2geodetic_cy(Call& call);

}  // namespace gk
