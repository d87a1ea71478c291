// geokern module layer: the module definition and its one-time start-up.
//
// Multi-phase initialisation with a create and an exec step.  All state is
// process-wide (state.hpp): the module may be created in one interpreter
// only, and a module object, once executed, is the module for the rest of
// the process.  Every exec step is checked; a failure adds an
// "init geokern" traceback entry, forgets the half-made module (so that a
// later import starts afresh) and fails the import.
#define GEOKERN_NUMPY_IMPORT
#include "module/numpy_api.hpp"

#include "module/capi.hpp"
#include "module/errors.hpp"
#include "module/function.hpp"
#include "module/init.hpp"
#include "module/numpy_math.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/table.hpp"
#include "module/vector_path.hpp"
#include "module/view_object.hpp"

namespace gk {

namespace {

// ============================================================================
// Create step
// ============================================================================

// Copies spec.<from> into the module namespace as <to>.  A missing spec
// attribute is skipped; None is copied only when `allow_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool allow_none) {
    PyRef value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    ModuleState& s = state();
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (s.interpreter_id == -1) {
        s.interpreter_id = id;
    } else if (s.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (s.module) return Py_NewRef(s.module);

    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ============================================================================
// Exec step
// ============================================================================

// `from <module> import <name>`: ImportError "cannot import name ..." when
// the module lacks the name.  New reference.
PyObject* import_from(const char* module_name, const char* name) {
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    PyObject* value = PyObject_GetAttrString(module.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
    }
    return value;
}

// PyModule_Add(), also keeping a strong reference to the value in
// `original`.  Takes the reference to `value`, which may be nullptr.
int add_remembered(PyObject* module, const char* name, PyObject* value, PyObject*& original) {
    if (value) Py_XSETREF(original, Py_NewRef(value));
    return PyModule_Add(module, name, value);
}

// numpy's own import of its C API.  Any Exception raised there is replaced
// by ImportError "numpy._core.multiarray failed to import", raised while
// the original is being handled.
int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject* replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, cause);
    PyErr_SetRaisedException(replacement);
    return -1;
}

// `value` when it is set, else `fallback` after swallowing any Exception;
// nullptr when something else is raised.  Takes both references.
PyObject* or_on_exception(PyObject* value, PyObject* fallback) {
    PyRef kept(fallback);
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    return kept.release();
}

// The installed distribution's version; "0.0.0" when the metadata module
// or the distribution cannot be found (any Exception is swallowed).
int add_version(PyObject* module) {
    PyRef version(
        or_on_exception(import_from("importlib.metadata", "version"), Py_NewRef(Py_None)));
    if (!version) return -1;
    if (PyModule_AddObjectRef(module, "_pkg_version", version.get()) < 0) return -1;
    PyObject* fallback = PyUnicode_FromString("0.0.0");
    if (version.get() == Py_None) return PyModule_Add(module, "__version__", fallback);
    return PyModule_Add(
        module, "__version__",
        or_on_exception(PyObject_CallFunction(version.get(), "s", "geokern"), fallback));
}

// __all__: the names of the listed functions, in their order.
PyObject* make_all() {
    PyRef all(PyList_New(0));
    if (!all) return nullptr;
    for (const char* name : all_names()) {
        PyRef item(PyUnicode_InternFromString(name));
        if (!item || PyList_Append(all.get(), item.get()) < 0) return nullptr;
    }
    return all.release();
}

// The exec steps after the module is recorded.  Returns 0, or the line of
// the failing step with an exception set (or none set, for the caller to
// report as ImportError "init geokern").
int run_exec_steps(PyObject* module) {
    ModuleState& s = state();
    PyObject* dict = PyModule_GetDict(module);
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return line_here();
    Py_XSETREF(s.builtins, builtins);
    if (PyModule_AddObjectRef(module, "__builtins__", builtins) < 0) return line_here();

    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if ((major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime "
                         "version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, "geokern", "does not match", major,
                         minor) < 0) {
        return line_here();
    }

    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, "__pyx_capi__", &found) < 0) return line_here();
    PyRef capi(found ? found : PyDict_New());
    if (!capi || fill_capi(capi.get()) < 0) return line_here();
    if (PyModule_AddObjectRef(module, "__pyx_capi__", capi.get()) < 0) return line_here();

    if (init_view_type() < 0 || init_function_type() < 0) return line_here();
    vector_path();  // the batch kernels' vector width, chosen once, here

    // The module body.
    if (add_remembered(module, "degrees", import_from("math", "degrees"), s.math_degrees) < 0)
        return line_here();
    if (add_remembered(module, "radians", import_from("math", "radians"), s.math_radians) < 0)
        return line_here();
    if (PyModule_Add(module, "List", import_from("typing", "List")) < 0) return line_here();
    if (add_remembered(module, "np", PyImport_ImportModule("numpy"), s.numpy) < 0)
        return line_here();
    if (import_numpy_api() < 0 || init_numpy_math() < 0) return line_here();
    if (add_version(module) < 0) return line_here();
    if (PyModule_Add(module, "__all__", make_all()) < 0) return line_here();
    for (const FunctionSpec& spec : function_table()) {
        if (PyModule_Add(module, spec.name, make_function(spec)) < 0) return line_here();
    }
    if (PyModule_Add(module, "__test__", PyDict_New()) < 0) return line_here();
    return 0;
}

int module_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.module) {
        if (s.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'geokern' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    s.module = Py_NewRef(module);
    s.dict = PyModule_GetDict(module);
    const int line = run_exec_steps(module);
    if (line == 0) return 0;
    if (PyErr_Occurred()) {
        add_traceback("init geokern", line);
    } else {
        PyErr_SetString(PyExc_ImportError, "init geokern");
    }
    s.dict = nullptr;
    Py_CLEAR(s.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "geokern",     // m_name
    nullptr,       // m_doc
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods: functions are made by the exec step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace gk

PyObject* geokern_module_definition(void) { return PyModuleDef_Init(&gk::module_def); }
