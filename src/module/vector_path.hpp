// geokern module layer: which build of the vector row kernels runs.
//
// The batch kernels exist for two vector widths (core/row_kernel.hpp): AVX2
// with FMA, which every processor the module imports on has, and AVX-512.
// The choice is made once, when the module is imported, from what the C
// library reports as usable on this processor and operating system, so the
// glibc tunable GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F forces the AVX2
// build.  Both builds give bit-identical results.
//
// Measured on the 2-core Zen 5 development machine, shared with other
// builds, best of three alternating runs of bench/bench_vector_paths.py,
// AVX2 time / AVX-512 time, one run at load average 1.4: 1.35 to 1.69 on
// one thread for batches of 16 384 rows whose result pages are already
// touched (ECEF to geodetic with heights 1.46, geodetic to Web Mercator
// 1.69); 1.01 to 1.26 for batches of 2 000 000 fresh rows, where the first
// touch of the result's pages takes much of the time, and 0.88 to 1.34 there
// on both threads (Web Mercator to geodetic, the cheapest kernel, the 0.88).
// A second run at load average 1.6 gave 1.21 to 1.44 and 1.18 to 1.32 on one
// thread.  Not measured: processors whose AVX-512 units are 256 bits wide.
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
