// geokern module layer: the module's entry point and its processor check.
//
// The library is compiled for x86-64-v3, so any of its code may use AVX2,
// FMA, BMI and the other instructions of that level.  This file and the
// check are compiled for baseline x86-64 (CMakeLists.txt): PyInit_geokern
// checks the processor (cpu_check.hpp) before any other code of the module
// runs, and on a processor without what the build needs the import fails
// with ImportError naming what is missing instead of dying on an illegal
// instruction.  Only then does it open the implementation library
// (implementation.hpp), at GEOKERN_IMPLEMENTATION relative to this library's
// folder (set by CMakeLists.txt, which installs it there).
#include "module/cpu_check.hpp"
#include "module/implementation.hpp"

PyMODINIT_FUNC PyInit_geokern(void) {
    if (!gk::processor_supported("geokern")) return nullptr;
    return gk::load_implementation("geokern", GEOKERN_IMPLEMENTATION, "geokern_module_definition");
}
