// geokern_tools._native: empty functions of geokern's function type (see
// noop_py.hpp).
#include "tools_native/noop_py.hpp"

#include "module/function.hpp"

namespace gk::tools {

namespace {

PyObject* noop(Call&) { Py_RETURN_NONE; }

constexpr FunctionSpec kNoop2("_noop2", {"lon", "lat"}, noop);
constexpr FunctionSpec kNoop3("_noop3", {"x", "y", "z"}, noop);

}  // namespace

int add_noop_functions(PyObject* module) {
    if (init_function_type() < 0) return -1;
    for (const FunctionSpec* spec : {&kNoop2, &kNoop3}) {
        if (PyModule_Add(module, spec->name, make_function(*spec, "geokern_tools._native")) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace gk::tools
