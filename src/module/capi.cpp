// geokern module layer: the native functions published in __pyx_capi__.
#include "module/capi.hpp"

#include "module/ref.hpp"
#include "module/table.hpp"

namespace gk {

int fill_capi(PyObject* capi) {
    for (const CapsuleSpec& entry : published_capsules()) {
        PyRef capsule(PyCapsule_New(entry.address(), entry.signature, nullptr));
        if (!capsule || PyDict_SetItemString(capi, entry.name, capsule.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace gk
