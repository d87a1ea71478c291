// geokern_tools._native: the module definition of the companion package's
// native helper.
//
// Besides the China batches, the local-frame batch (move_points,
// frame_batch_py.hpp), the WKB coordinates of a geometry column
// (wkb_py.hpp), build_info() and the OBJ reader of geokern_tools
// (read_obj_mesh, obj_mesh_py.hpp) it holds _noop2 and _noop3, empty
// functions of geokern's own function type that the benchmarks take as the
// floor of a scalar call (noop_py.hpp).
//
// The helper shares geokern's kernels and its module layer (argument
// matching, array views, failure reporting, the parallel loop), but not its
// module frame: it is a plain multi-phase module with a method table.  Like
// geokern's, its state (module/state.hpp, a separate copy in this library)
// is process-wide: one interpreter per process, and the module object
// executed last is the one whose namespace the functions use.  Result arrays are made
// through the module attribute `np` (module/view.hpp), bound at exec.
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/vector_path.hpp"
#include "module/view_object.hpp"
#include "tools_native/build_info_py.hpp"
#include "tools_native/china_batch_py.hpp"
#include "tools_native/frame_batch_py.hpp"
#include "tools_native/init.hpp"
#include "tools_native/noop_py.hpp"
#include "tools_native/obj_mesh_py.hpp"
#include "tools_native/owned_buffer.hpp"
#include "tools_native/wkb_py.hpp"

namespace gk::tools {

namespace {

int native_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.module == module) return 0;
    if (init_view_type() < 0 || init_owned_buffer_type() < 0) return -1;
    vector_path();  // chosen once, here, as geokern does
    if (PyModule_AddFunctions(module, china_batch_methods()) < 0 ||
        PyModule_AddFunctions(module, build_info_methods()) < 0 ||
        PyModule_AddFunctions(module, wkb_methods()) < 0 ||
        PyModule_AddFunctions(module, obj_mesh_methods()) < 0 ||
        PyModule_AddFunctions(module, frame_batch_methods()) < 0 ||
        add_noop_functions(module) < 0) {
        return -1;
    }
    PyRef builtins(PyImport_ImportModule("builtins"));
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!builtins || !numpy || PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return -1;
    // A later module object (the helper imported afresh) takes over.
    Py_XSETREF(s.builtins, builtins.release());
    Py_XSETREF(s.numpy, numpy.release());
    Py_XSETREF(s.module, Py_NewRef(module));
    s.dict = PyModule_GetDict(module);
    return 0;
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "geokern_tools._native",
    "Native batches of the China datum conversions, local frames and WKB coordinates,"
    " and the OBJ reader of geokern_tools.",
    0,        // m_size: the state is process-wide
    nullptr,  // m_methods: added by the exec step
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace gk::tools

PyObject* geokern_native_definition(void) { return PyModuleDef_Init(&gk::tools::native_def); }
