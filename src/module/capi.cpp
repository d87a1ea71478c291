// geokern module layer: the native functions published in __pyx_capi__.
#include "module/capi.hpp"

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
constexpr const char* kOneSlice = "PyObject *(__Pyx_memviewslice)";
constexpr const char* kThreeDoubles = "PyObject *(double const , double const , double const )";

// In publication order.
const CapiEntry kCapi[] = {
    {"generate_obb_2d_from_obj_file_cython", kOneObject,
     reinterpret_cast<void*>(generate_obb_2d_from_obj_file_cython)},
    {"generate_obb_2d_from_points_cython", kOneSlice,
     reinterpret_cast<void*>(generate_obb_2d_from_points_cython)},
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
