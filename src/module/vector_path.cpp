// geokern module layer: which build of the vector row kernels runs (see
// vector_path.hpp).
#include "module/vector_path.hpp"

#include <sys/platform/x86.h>

namespace gk {

namespace {

// The AVX-512 build is compiled for x86-64-v4, so it may use any of that
// level's AVX-512 subsets.  "Active" means the processor has the feature,
// the operating system saves its registers, and no tunable turned it off.
bool avx512_usable() noexcept {
    return CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) &&
           CPU_FEATURE_ACTIVE(AVX512CD) && CPU_FEATURE_ACTIVE(AVX512DQ) &&
           CPU_FEATURE_ACTIVE(AVX512VL);
}

}  // namespace

VectorPath vector_path() noexcept {
    static const VectorPath path = avx512_usable() ? VectorPath::avx512 : VectorPath::avx2;
    return path;
}

const char* vector_path_name(VectorPath path) noexcept {
    return path == VectorPath::avx512 ? "avx512" : "avx2";
}

}  // namespace gk
