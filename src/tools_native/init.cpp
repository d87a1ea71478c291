// geokern_tools._native: the module's entry point.  Compiled for baseline
// x86-64 (CMakeLists.txt), like geokern's own, so that the processor check
// runs before any x86-64-v3 instruction; only then does it open the
// helper's implementation library (module/implementation.hpp), at
// GEOKERN_IMPLEMENTATION relative to this library's folder.
#include "module/cpu_check.hpp"
#include "module/implementation.hpp"

PyMODINIT_FUNC PyInit__native(void) {
    if (!gk::processor_supported("geokern_tools._native")) return nullptr;
    return gk::load_implementation("geokern_tools._native", GEOKERN_IMPLEMENTATION,
                                   "geokern_native_definition");
}
