// geokern module layer: the native functions published in __pyx_capi__.
#include "module/capi.hpp"

#include "module/ref.hpp"
#include "module/table.hpp"

namespace gk {

namespace {

// The capsule published `position`-th, or nullptr past the last.
const CapsuleSpec* capsule_at(int position) {
    for (const FunctionSpec& row : function_table()) {
        if (row.capsule.position == position) return &row.capsule;
    }
    for (const CapsuleSpec& extra : capsules_only()) {
        if (extra.position == position) return &extra;
    }
    return nullptr;
}

}  // namespace

int fill_capi(PyObject* capi) {
    for (int position = 0; const CapsuleSpec* entry = capsule_at(position); ++position) {
        PyRef capsule(PyCapsule_New(entry->address(), entry->signature, nullptr));
        if (!capsule || PyDict_SetItemString(capi, entry->name, capsule.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace gk
