// geokern_tools._native: functions whose arguments go through the shared
// argument layer (module/args.hpp) and whose failures get traceback
// entries (module/errors.hpp), as the geokern module's own do.
#pragma once

#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/function.hpp"
#include "module/python.hpp"

namespace gk::tools {

// A function of the helper module: its argument row (name, argument names,
// defaults, body) and the name of its traceback entries.
struct NativeFunction {
    FunctionSpec spec;
    const char* traced;  // "geokern_tools._native.<name>"
};

// The METH_FASTCALL | METH_KEYWORDS entry of `F`: matches the arguments,
// runs the body and adds the function's traceback entry to a failure.
template <const NativeFunction& F>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The defaults tuple, made on the first call and kept (the lock
    // serialises the first calls).
    static PyObject* defaults = nullptr;
    if (F.spec.make_defaults && !defaults && !(defaults = F.spec.make_defaults())) {
        add_traceback(F.traced, line_here());
        return nullptr;
    }
    PyObject* argv[kMaxArgs];
    if (const int line = match_arguments(F.spec, defaults, args, nargs, kwnames, argv)) {
        add_traceback(F.traced, line);
        return nullptr;
    }
    Call call(F.spec, argv);
    PyObject* result = F.spec.body(call);
    if (!result) add_traceback(F.traced, call.line());
    return result;
}

// The method-table row of `F`, with `doc` (which starts with the
// signature line for inspect).
template <const NativeFunction& F>
constexpr PyMethodDef method_def(const char* doc) {
    return {F.spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall<F>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace gk::tools
