// geokern_tools._native: the module's entry point.  Compiled for baseline
// x86-64 (CMakeLists.txt), like geokern's own, so that the processor check
// runs before any x86-64-v3 instruction of the library.
#include "tools_native/init.hpp"
#include "module/cpu_check.hpp"

PyMODINIT_FUNC PyInit__native(void) {
    if (!gk::processor_supported("geokern_tools._native")) return nullptr;
    return gk::tools::module_definition();
}
