// geokern module layer: the module's entry point and its processor check.
//
// The library is compiled for x86-64-v3, so any of its code may use AVX2,
// FMA, BMI and the other instructions of that level.  This file and the
// check are compiled for baseline x86-64 (CMakeLists.txt): PyInit_geokern
// checks the processor (cpu_check.hpp) before any other code of the library
// runs, and on a processor without what the build needs the import fails
// with ImportError naming what is missing instead of dying on an illegal
// instruction.
#include "module/init.hpp"
#include "module/cpu_check.hpp"

PyMODINIT_FUNC PyInit_geokern(void) {
    if (!gk::processor_supported("geokern")) return nullptr;
    return gk::module_definition();
}
