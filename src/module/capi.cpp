// geokern module layer: the native functions published in __pyx_capi__.
#include "module/capi.hpp"

#include "china/bd09_py.hpp"
#include "china/gcj02_py.hpp"
#include "ecef/geodetic2ecef_py.hpp"

namespace gk {

namespace {

struct CapiEntry {
    const char* name;
    const char* signature;  // the capsule's name
    void* function;
};

constexpr const char* kTwoDoubles = "PyObject *(double const , double const )";
constexpr const char* kThreeDoubles = "PyObject *(double const , double const , double const )";

// In publication order.
const CapiEntry kCapi[] = {
    {"bd09_to_gcj02", kTwoDoubles, reinterpret_cast<void*>(bd09_to_gcj02)},
    {"bd09_to_wgs84", kTwoDoubles, reinterpret_cast<void*>(bd09_to_wgs84)},
    {"gcj02_to_bd09", kTwoDoubles, reinterpret_cast<void*>(gcj02_to_bd09)},
    {"gcj02_to_wgs84", kTwoDoubles, reinterpret_cast<void*>(gcj02_to_wgs84)},
    {"wgs84_to_bd09", kTwoDoubles, reinterpret_cast<void*>(wgs84_to_bd09)},
    {"wgs84_to_gcj02", kTwoDoubles, reinterpret_cast<void*>(wgs84_to_gcj02)},
    {"geodetic2ecef_custom_ellipsoid_cython", kThreeDoubles,
     reinterpret_cast<void*>(geodetic2ecef_custom_ellipsoid_cython)},
};

}  // namespace

int fill_capi(PyObject* capi) {
    for (const CapiEntry& entry : kCapi) {
        PyObject* capsule = PyCapsule_New(entry.function, entry.signature, nullptr);
        if (!capsule) return -1;
        const int rc = PyDict_SetItemString(capi, entry.name, capsule);
        Py_DECREF(capsule);
        if (rc < 0) return -1;
    }
    return 0;
}

}  // namespace gk
