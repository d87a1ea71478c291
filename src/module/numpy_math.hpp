// geokern module layer: numpy's own float64 arctan, cos and hypot.
//
// Code that is defined to evaluate these functions with numpy must give
// numpy's bits, and numpy's loops are not always the C library's (its
// arctan, for one, is a vectorised kernel on CPUs with AVX-512).  The
// inner loops that numpy selected for this machine are fetched once from
// the ufuncs and called directly on one element: the same result as
// np.arctan(np.float64(x)), without the interpreter.  The loops touch no
// Python object, so they may run with the interpreter lock released.
#pragma once

#include "module/python.hpp"

namespace gk {

// Fetches the loops; called once by the exec step after numpy's C API.
int init_numpy_math();

double numpy_arctan(double x);
double numpy_cos(double x);
double numpy_hypot(double x, double y);

// The same functions as a kernel's math parameter (e.g. ecef::solve).
struct NumpyMath {
    static double arctan(double x) { return numpy_arctan(x); }
    static double cos(double x) { return numpy_cos(x); }
    static double hypot(double x, double y) { return numpy_hypot(x, y); }
};

}  // namespace gk
