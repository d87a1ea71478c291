// geokern module layer: the processor check of the libraries' entry points.
//
// The libraries are compiled for x86-64-v3, so any of their code may use
// AVX2, FMA, BMI and the other instructions of that level.  This file and
// the entry points that call it are compiled for baseline x86-64
// (CMakeLists.txt), so the check runs before any such instruction; no other
// code runs earlier, as the libraries have no load-time initialisers.  Both
// are checked on the built objects in tests/module/test_cpu_check.py.
//
// The features are asked of the C library, which reports what is usable:
// present on the processor and enabled by the operating system (the AVX
// register state), less what the user switched off with
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-NAME.  The vector path is chosen from the
// same source (vector_path.hpp), so the two never disagree.
#include "module/cpu_check.hpp"

#include <sys/platform/x86.h>

#include <cstring>

namespace {

struct Feature {
    const char* name;
    bool present;
};

}  // namespace

namespace gk {

bool processor_supported(const char* module_name) {
    // The levels x86-64-v2 and -v3.
    const Feature features[] = {
        {"SSE3", CPU_FEATURE_ACTIVE(SSE3)},
        {"SSSE3", CPU_FEATURE_ACTIVE(SSSE3)},
        {"SSE4.1", CPU_FEATURE_ACTIVE(SSE4_1)},
        {"SSE4.2", CPU_FEATURE_ACTIVE(SSE4_2)},
        {"POPCNT", CPU_FEATURE_ACTIVE(POPCNT)},
        {"CMPXCHG16B", CPU_FEATURE_ACTIVE(CMPXCHG16B)},
        {"LAHF/SAHF", CPU_FEATURE_ACTIVE(LAHF64_SAHF64)},
        {"AVX", CPU_FEATURE_ACTIVE(AVX)},
        {"AVX2", CPU_FEATURE_ACTIVE(AVX2)},
        {"BMI1", CPU_FEATURE_ACTIVE(BMI1)},
        {"BMI2", CPU_FEATURE_ACTIVE(BMI2)},
        {"F16C", CPU_FEATURE_ACTIVE(F16C)},
        {"FMA", CPU_FEATURE_ACTIVE(FMA)},
        {"LZCNT", CPU_FEATURE_ACTIVE(LZCNT)},
        {"MOVBE", CPU_FEATURE_ACTIVE(MOVBE)},
        {"XSAVE", CPU_FEATURE_ACTIVE(OSXSAVE)},
    };
    char missing[160] = "";
    for (const Feature& feature : features) {
        if (feature.present) continue;
        if (missing[0]) std::strncat(missing, ", ", sizeof missing - std::strlen(missing) - 1);
        std::strncat(missing, feature.name, sizeof missing - std::strlen(missing) - 1);
    }
    if (missing[0]) {
        PyErr_Format(PyExc_ImportError,
                     "%s needs an x86-64-v3 processor (AVX2, FMA, BMI1/2); this one "
                     "lacks %s",
                     module_name, missing);
        return false;
    }
    return true;
}

}  // namespace gk
