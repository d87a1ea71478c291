// geokern module layer: the processor check of the libraries' entry points.
//
// The libraries are compiled for x86-64-v3, so any of their code may use
// AVX2, FMA, BMI and the other instructions of that level.  This file and
// the entry points that call it are compiled for baseline x86-64
// (CMakeLists.txt), so the check runs before any such instruction; no other
// code runs earlier, as the libraries have no load-time initialisers.  Both
// are checked on the built objects in tests/module/test_cpu_check.py.
#include "module/cpu_check.hpp"

#include <cstring>

namespace {

struct Feature {
    const char* name;
    bool present;
};

}  // namespace

namespace gk {

bool processor_supported(const char* module_name) {
    __builtin_cpu_init();
    // The levels x86-64-v2 and -v3 as GCC defines them; the names must be
    // literals.
    const Feature features[] = {
        {"SSE3", __builtin_cpu_supports("sse3") != 0},
        {"SSSE3", __builtin_cpu_supports("ssse3") != 0},
        {"SSE4.1", __builtin_cpu_supports("sse4.1") != 0},
        {"SSE4.2", __builtin_cpu_supports("sse4.2") != 0},
        {"POPCNT", __builtin_cpu_supports("popcnt") != 0},
        {"CMPXCHG16B", __builtin_cpu_supports("cmpxchg16b") != 0},
        {"LAHF/SAHF", __builtin_cpu_supports("lahf_lm") != 0},
        {"AVX", __builtin_cpu_supports("avx") != 0},
        {"AVX2", __builtin_cpu_supports("avx2") != 0},
        {"BMI1", __builtin_cpu_supports("bmi") != 0},
        {"BMI2", __builtin_cpu_supports("bmi2") != 0},
        {"F16C", __builtin_cpu_supports("f16c") != 0},
        {"FMA", __builtin_cpu_supports("fma") != 0},
        {"LZCNT", __builtin_cpu_supports("lzcnt") != 0},
        {"MOVBE", __builtin_cpu_supports("movbe") != 0},
        {"XSAVE", __builtin_cpu_supports("xsave") != 0},
    };
    char missing[160] = "";
    for (const Feature& feature : features) {
        if (feature.present) continue;
        if (missing[0]) std::strncat(missing, ", ", sizeof missing - std::strlen(missing) - 1);
        std::strncat(missing, feature.name, sizeof missing - std::strlen(missing) - 1);
    }
    if (missing[0] || !__builtin_cpu_supports("x86-64-v3")) {
        PyErr_Format(PyExc_ImportError,
                     "%s needs an x86-64-v3 processor (AVX2, FMA, BMI1/2); this one "
                     "lacks %s",
                     module_name,
                     missing[0] ? missing : "operating-system support for AVX (XSAVE state)");
        return false;
    }
    return true;
}

}  // namespace gk
