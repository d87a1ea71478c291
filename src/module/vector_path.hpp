// geokern module layer: which build of the vector row kernels runs.
//
// The batch kernels exist for two vector widths (core/row_kernel.hpp): AVX2
// with FMA, which every processor the module imports on has, and AVX-512.
// The choice is made once, when the module is imported, from what the C
// library reports as usable on this processor and operating system, so the
// glibc tunable GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F forces the AVX2
// build.  Both builds give bit-identical results; where AVX-512 is usable
// it is the faster one (bench/bench_vector_paths.py, and the figures in
// bench/measurements.md).
#pragma once

namespace gk {

enum class VectorPath { avx2, avx512 };

// The path of this process: decided at the first call (each module's exec
// step makes one), the same ever after.
VectorPath vector_path() noexcept;

// "avx2" or "avx512".
const char* vector_path_name(VectorPath path) noexcept;

// The table of the chosen build, from one table per build.
template <class Table>
const Table& chosen_table(const Table& avx2, const Table& avx512) noexcept {
    return vector_path() == VectorPath::avx512 ? avx512 : avx2;
}

}  // namespace gk
