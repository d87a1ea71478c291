// geokern core: the module-level entry points over the exported core
// functions (see core_py.hpp).  A C++ exception from a core function
// becomes the matching Python exception.
#include "core/core_py.hpp"

#include "core/core.hpp"
#include "module/errors.hpp"
#include "module/values.hpp"

#include <vector>

namespace gk {

namespace {

using CoreTriple = std::vector<double> (*)(double, double, double);

PyObject* triple_entry(Call& call, CoreTriple core) {
    double a[3];
    if (!call.doubles(a, 3)) return call.fail();
    return call.result(guard_cpp([&] { return float_list(core(a[0], a[1], a[2])); }));
}

}  // namespace

PyObject* out_of_china_cpp(Call& call) {
    double a[2];
    if (!call.doubles(a, 2)) return call.fail();
    return PyBool_FromLong(out_of_china(a[0], a[1]));
}

PyObject* web_mercator_to_geodetic_cpp(Call& call) {
    return triple_entry(call, webMercatorToGeodetic);
}

PyObject* geodetic_to_web_mercator_cpp(Call& call) {
    return triple_entry(call, geodeticToWebMercator);
}

PyObject* geodetic2ecef_cpp(Call& call) { return triple_entry(call, geodetic2ecef_degree); }

}  // namespace gk
