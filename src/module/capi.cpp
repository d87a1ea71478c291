// geokern module layer: the native functions published in __pyx_capi__.
#include "module/capi.hpp"

#include "china/bd09_py.hpp"
#include "china/gcj02_py.hpp"
#include "ecef/ecef2geodetic_batch_py.hpp"
#include "ecef/ecef2geodetic_py.hpp"
#include "ecef/geodetic2ecef_py.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_file_py.hpp"

namespace gk {

namespace {

struct CapiEntry {
    const char* name;
    const char* signature;  // the capsule's name
    void* function;
};

constexpr const char* kOneObject = "PyObject *(PyObject *)";
constexpr const char* kTwoDoubles = "PyObject *(double const , double const )";
constexpr const char* kThreeDoubles = "PyObject *(double const , double const , double const )";
constexpr const char* kOneSlice = "PyObject *(__Pyx_memviewslice)";
constexpr const char* kObjectAndSlice = "PyObject *(PyObject *, __Pyx_memviewslice)";
constexpr const char* kTwoSlicesAndBool =
    "PyObject *(__Pyx_memviewslice, __Pyx_memviewslice, bool)";

template <class F>
void* address(F* function) {
    return reinterpret_cast<void*>(function);
}

// In publication order.
const CapiEntry kCapi[] = {
    {"generate_obb_2d_from_obj_file_cython", kOneObject,
     address(generate_obb_2d_from_obj_file_cython)},
    {"ecef2geodetic_list_cython", kObjectAndSlice, address(ecef2geodetic_list_cython)},
    {"generate_obb_2d_from_points_cython", kOneSlice, address(generate_obb_2d_from_points_cython)},
    {"geodetic2ecef_cython_np_mv", kOneSlice, address(geodetic2ecef_cython_np_mv)},
    {"ecef2geodetic_nparray_cython", kTwoSlicesAndBool, address(ecef2geodetic_nparray_cython)},
    {"bd09_to_gcj02", kTwoDoubles, address(bd09_to_gcj02)},
    {"bd09_to_wgs84", kTwoDoubles, address(bd09_to_wgs84)},
    {"gcj02_to_bd09", kTwoDoubles, address(gcj02_to_bd09)},
    {"gcj02_to_wgs84", kTwoDoubles, address(gcj02_to_wgs84)},
    {"wgs84_to_bd09", kTwoDoubles, address(wgs84_to_bd09)},
    {"wgs84_to_gcj02", kTwoDoubles, address(wgs84_to_gcj02)},
    {"ecef2geodetic_cython", kThreeDoubles, address(ecef2geodetic_cython)},
    {"geodetic2ecef_custom_ellipsoid_cython", kThreeDoubles,
     address(geodetic2ecef_custom_ellipsoid_cython)},
    {"geodetic2ecef_cython", kThreeDoubles, address(geodetic2ecef_cython)},
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
