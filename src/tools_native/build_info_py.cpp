// geokern_tools._native: build_info() (see build_info_py.hpp).
//
// build_info() -> {"compiler": str, "simd": str, "vector_path": str,
// "openmp_threads": int}: the compiler that built the China kernels (the
// same sources and flags as the geokern module), the instruction set level
// they target, the build of geokern's vector row kernels that this process
// runs ("avx512" or "avx2", module/vector_path.hpp), and the number of
// threads an OpenMP parallel region gets now.
#include "tools_native/build_info_py.hpp"

#include "module/ref.hpp"
#include "module/vector_path.hpp"

#include <omp.h>

namespace gk::tools {

namespace {

#if defined(__clang__)
constexpr const char* kCompiler = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompiler = "g++ " __VERSION__;
#else
constexpr const char* kCompiler = "unknown";
#endif

#if defined(__AVX512F__)
constexpr const char* kSimd = "AVX-512 (x86-64-v4)";
#elif defined(__AVX2__) && defined(__FMA__)
constexpr const char* kSimd = "AVX2+FMA (x86-64-v3)";
#elif defined(__SSE4_2__)
constexpr const char* kSimd = "SSE4.2 (x86-64-v2)";
#else
constexpr const char* kSimd = "SSE2 (x86-64)";
#endif

// Sets dict[key] = value, taking the new reference `value`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* build_info(PyObject*, PyObject*) {
    PyRef info(PyDict_New());
    if (!info || !put(info.get(), "compiler", PyUnicode_FromString(kCompiler)) ||
        !put(info.get(), "simd", PyUnicode_FromString(kSimd)) ||
        !put(info.get(), "vector_path", PyUnicode_FromString(vector_path_name(vector_path()))) ||
        !put(info.get(), "openmp_threads", PyLong_FromLong(omp_get_max_threads()))) {
        return nullptr;
    }
    return info.release();
}

PyMethodDef kMethods[] = {
    {"build_info", build_info, METH_NOARGS,
     "build_info($module)\n--\n\nHow the native code was built: a dict with \"compiler\" (str),\n"
     "\"simd\" (str), \"vector_path\" (str, the build of the batch kernels that runs:\n"
     "\"avx512\" or \"avx2\") and \"openmp_threads\" (int, the OpenMP threads a batch uses\n"
     "now)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* build_info_methods() { return kMethods; }

}  // namespace gk::tools
