// geokern module layer: process-wide module state and global-name lookup.
#include "module/state.hpp"

namespace gk {

ModuleState& state() {
    static ModuleState s;
    return s;
}

PyObject* Name::get() {
    if (!object_) object_ = PyUnicode_InternFromString(text_);
    return object_;
}

PyObject* lookup_global(Name& name) {
    PyObject* key = name.get();
    if (!key) return nullptr;
    PyObject* dict = state().dict;
    if (dict) {
        PyObject* value = nullptr;
        int found = PyDict_GetItemRef(dict, key, &value);
        if (found != 0) return value;  // found (1) or failed (-1)
    }
    PyObject* value = nullptr;
    int found = 0;
    if (state().builtins) {
        found = PyDict_GetItemRef(PyModule_GetDict(state().builtins), key, &value);
    }
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return value;
}

}  // namespace gk
