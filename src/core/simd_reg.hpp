// geokern core: one vector register of the batch kernels.
//
// The register layer follows the compiler's target: with AVX-512
// (-march=x86-64-v4) a register holds eight doubles and comparisons give
// mask registers (simd_avx512.hpp); otherwise four, with AVX2 and FMA
// (simd_avx2.hpp).  Both layers offer the same names: Reg, RegMask,
// RegPair, kLanes, kAllLanes, set1, loadu, storeu, fmadd, sqrt, abs, max,
// compare<Predicate>, mask_or, mask_and, mask_bits, blend, zero_unless,
// load_rows, store_rows and the GK_SLEEF(name, accuracy) spelling of the
// math library's functions of that width.
//
// Everything here lives in the inline namespace GK_SIMD_ISA (avx512 or
// avx2), and so must every other definition of a file compiled for
// AVX-512: an inline function or template instantiation of that file then
// has a name of its own, and the linker cannot pick its AVX-512 code for a
// caller that runs on a processor without it.  Include the vector headers
// only from the kernel tables (row_kernel.hpp), never from the module
// layer.
#pragma once

#if defined(__AVX512F__)
#define GK_SIMD_ISA avx512
#include "core/simd_avx512.hpp"
#elif defined(__AVX2__) && defined(__FMA__)
#define GK_SIMD_ISA avx2
#include "core/simd_avx2.hpp"
#else
#error "the vector kernels are built for x86-64-v3 (AVX2, FMA) or x86-64-v4 (AVX-512)"
#endif

namespace gk::simd::inline GK_SIMD_ISA::reg {

inline constexpr auto sleef_sin = GK_SLEEF(sin, u10);
inline constexpr auto sleef_cos = GK_SLEEF(cos, u10);
inline constexpr auto sleef_tan = GK_SLEEF(tan, u10);
inline constexpr auto sleef_sincos = GK_SLEEF(sincos, u10);
inline constexpr auto sleef_atan = GK_SLEEF(atan, u10);
inline constexpr auto sleef_atan2 = GK_SLEEF(atan2, u10);
inline constexpr auto sleef_exp = GK_SLEEF(exp, u10);
inline constexpr auto sleef_log = GK_SLEEF(log, u10);
inline constexpr auto sleef_hypot = GK_SLEEF(hypot, u05);
#undef GK_SLEEF

inline double lane(Reg v, int k) {
    alignas(64) double lanes[kLanes];
    storeu(lanes, v);
    return lanes[k];
}

inline Reg with_lane(Reg v, int k, double x) {
    alignas(64) double lanes[kLanes];
    storeu(lanes, v);
    lanes[k] = x;
    return loadu(lanes);
}

inline Reg with_lane_of(Reg v, int k, Reg from) { return with_lane(v, k, lane(from, k)); }

inline RegPair with_lane_of(RegPair v, int k, RegPair from) {
    return {with_lane_of(v.x, k, from.x), with_lane_of(v.y, k, from.y)};
}

}  // namespace gk::simd::inline GK_SIMD_ISA::reg
