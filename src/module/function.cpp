// geokern module layer: module-level function objects (see function.hpp).
//
// A small callable type with vectorcall.  Besides the call it offers what
// users expect of functions: __name__, __qualname__, __module__, __doc__,
// __defaults__ (a new tuple on each access), __kwdefaults__ (None),
// __signature__ for inspect, and pickling by reference (the object reduces
// to its name, which pickle looks up in the module on loading).
#include "module/function.hpp"

#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"

#include <cstddef>

namespace gk {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;         // str
    PyObject* defaults;     // tuple of the optional arguments' defaults, or nullptr
    PyObject* weakrefs;
    PyObject* traced;       // "<module>.<name>": the traceback entry's name and the repr's
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    const FunctionSpec& spec = *f->spec;
    PyObject* argv[kMaxArgs];
    if (int line =
            match_arguments(spec, f->defaults, args, PyVectorcall_NARGS(nargsf), kwnames, argv)) {
        add_traceback(PyUnicode_AsUTF8(f->traced), line);
        return nullptr;
    }
    Call call(spec, argv);
    PyObject* result = spec.body(call);
    if (!result) add_traceback(PyUnicode_AsUTF8(f->traced), call.line());
    return result;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->traced);
    type->tp_free(self);
    Py_DECREF(type);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->defaults);
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->defaults);
    return 0;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->traced, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->spec->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    if (!defaults) Py_RETURN_NONE;
    // A new tuple on each access (a full slice would return the same one).
    const Py_ssize_t n = PyTuple_GET_SIZE(defaults);
    PyObject* copy = PyTuple_New(n);
    if (!copy) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(copy, i, Py_NewRef(PyTuple_GET_ITEM(defaults, i)));
    }
    return copy;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.Signature of the function: every argument positional-or-keyword,
// with its default where it has one.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    const FunctionSpec& spec = *f->spec;
    PyRef inspect(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    PyRef parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    PyRef signature(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) return nullptr;
    PyRef kind(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    PyRef params(PyList_New(spec.nargs));
    if (!kind || !params) return nullptr;
    for (int i = 0; i < spec.nargs; ++i) {
        PyRef kwargs(PyDict_New());
        if (!kwargs) return nullptr;
        if (i >= spec.required &&
            PyDict_SetItemString(kwargs.get(), "default",
                                 PyTuple_GET_ITEM(f->defaults, i - spec.required)) < 0) {
            return nullptr;
        }
        PyRef posargs(Py_BuildValue("(sO)", spec.args[i], kind.get()));
        if (!posargs) return nullptr;
        PyObject* p = PyObject_Call(parameter.get(), posargs.get(), kwargs.get());
        if (!p) return nullptr;
        PyList_SET_ITEM(params.get(), i, p);
    }
    return PyObject_CallOneArg(signature.get(), params.get());
}

// Pickled by reference: pickle stores "geokern.<name>" and finds the same
// object again on loading; copy and deepcopy return the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

// No __module__ entry: the type's own __module__ ("geokern", from the
// dotted type name) serves the functions as well, and a descriptor under
// that name would also hide the type's, which libraries that dispatch on
// type(f).__module__ read as a string.
PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "geokern.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

int init_function_type() {
    if (function_type) return 0;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type ? 0 : -1;
}

PyObject* make_function(const FunctionSpec& spec, const char* module) {
    PyRef defaults;
    if (spec.make_defaults) {
        defaults = PyRef(spec.make_defaults());
        if (!defaults) return nullptr;
        if (!PyTuple_Check(defaults.get()) ||
            PyTuple_GET_SIZE(defaults.get()) != spec.nargs - spec.required) {
            PyErr_Format(PyExc_SystemError, "%s: defaults do not match the argument names",
                         spec.name);
            return nullptr;
        }
    }
    PyRef name(PyUnicode_InternFromString(spec.name));
    if (!name) return nullptr;
    PyRef traced(PyUnicode_FromFormat("%s.%s", module, spec.name));
    if (!traced) return nullptr;
    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->defaults = defaults.release();
    f->weakrefs = nullptr;
    f->traced = traced.release();
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

bool runs_body(PyObject* object, Body body) {
    // The type can neither be instantiated from Python nor subclassed.
    return Py_IS_TYPE(object, function_type) && as_function(object)->spec->body == body;
}

}  // namespace gk
