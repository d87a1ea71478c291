// geokern core: the AVX2 register layer of the vector kernels: one
// register of four doubles, comparisons into all-ones lanes, the math
// library's 4-lane functions, and packed rows moved between memory and
// registers by shuffles and blends.  Included by simd_reg.hpp only, in
// files compiled for x86-64-v3.
#pragma once

#include <immintrin.h>
#include <sleef.h>

namespace gk::simd::inline GK_SIMD_ISA::reg {

using Reg = __m256d;
using RegMask = __m256d;  // all ones or all zeros per lane
using RegPair = Sleef___m256d_2;
inline constexpr int kLanes = 4;
inline constexpr int kAllLanes = 0xf;

inline Reg set1(double x) { return _mm256_set1_pd(x); }
inline Reg loadu(const double* p) { return _mm256_loadu_pd(p); }
inline void storeu(double* p, Reg a) { _mm256_storeu_pd(p, a); }
inline Reg fmadd(Reg a, Reg b, Reg c) { return _mm256_fmadd_pd(a, b, c); }
inline Reg sqrt(Reg a) { return _mm256_sqrt_pd(a); }
inline Reg abs(Reg a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline Reg max(Reg a, Reg b) { return _mm256_max_pd(a, b); }
template <int Predicate>
inline RegMask compare(Reg a, Reg b) {
    return _mm256_cmp_pd(a, b, Predicate);
}
inline RegMask mask_or(RegMask a, RegMask b) { return _mm256_or_pd(a, b); }
inline RegMask mask_and(RegMask a, RegMask b) { return _mm256_and_pd(a, b); }
inline int mask_bits(RegMask m) { return _mm256_movemask_pd(m); }
inline Reg blend(RegMask m, Reg yes, Reg no) { return _mm256_blendv_pd(no, yes, m); }
inline Reg zero_unless(RegMask m, Reg a) { return _mm256_and_pd(a, m); }

#define GK_SLEEF(name, accuracy) Sleef_##name##d4_##accuracy##avx2

// Columns 0 .. C-1 of kLanes packed rows of W >= C doubles each.
template <int C, int W>
inline void load_rows(const double* p, Reg (&cols)[C]) {
    static_assert(C <= W && (W == 3 || W == 4));
    if constexpr (W == 4) {
        // The 4 x 4 transpose: pairs of rows by 128-bit halves, then the
        // halves of rows 0, 1 joined with those of rows 2, 3.  The last
        // row's fourth item is not loaded: it may lie past the array's
        // memory.
        const Reg a = loadu(p), b = loadu(p + 4), c = loadu(p + 8);
        const Reg d = _mm256_maskload_pd(p + 12, _mm256_setr_epi64x(-1, -1, -1, 0));
        const Reg x0x1z0z1 = _mm256_unpacklo_pd(a, b), y0y1w0w1 = _mm256_unpackhi_pd(a, b);
        const Reg x2x3z2z3 = _mm256_unpacklo_pd(c, d), y2y3w2w3 = _mm256_unpackhi_pd(c, d);
        cols[0] = _mm256_permute2f128_pd(x0x1z0z1, x2x3z2z3, 0x20);
        if constexpr (C > 1) cols[1] = _mm256_permute2f128_pd(y0y1w0w1, y2y3w2w3, 0x20);
        if constexpr (C > 2) cols[2] = _mm256_permute2f128_pd(x0x1z0z1, x2x3z2z3, 0x31);
    } else {
        const Reg a = loadu(p), b = loadu(p + 4), c = loadu(p + 8);  // x0y0z0x1 y1z1x2y2 z2x3y3z3
        const Reg x0y0x2y2 = _mm256_blend_pd(a, b, 0b1100);
        const Reg y1z1y3z3 = _mm256_blend_pd(b, c, 0b1100);
        const Reg z2x3z0x1 = _mm256_blend_pd(c, a, 0b1100);
        const Reg z0x1z2x3 = _mm256_permute2f128_pd(z2x3z0x1, z2x3z0x1, 0x01);
        cols[0] = _mm256_blend_pd(x0y0x2y2, z0x1z2x3, 0b1010);
        if constexpr (C > 1) cols[1] = _mm256_shuffle_pd(x0y0x2y2, y1z1y3z3, 0b0101);
        if constexpr (C > 2) cols[2] = _mm256_blend_pd(z0x1z2x3, y1z1y3z3, 0b1010);
    }
}

// The inverse for C == W: kLanes lanes of C columns stored as packed rows.
template <int C>
inline void store_rows(double* p, const Reg (&cols)[C]) {
    static_assert(C == 2 || C == 3);
    if constexpr (C == 3) {
        const Reg x0y0x2y2 = _mm256_unpacklo_pd(cols[0], cols[1]);
        const Reg y1z1y3z3 = _mm256_unpackhi_pd(cols[1], cols[2]);
        const Reg z0x1z2x3 = _mm256_blend_pd(cols[2], cols[0], 0b1010);
        const Reg z2x3z0x1 = _mm256_permute2f128_pd(z0x1z2x3, z0x1z2x3, 0x01);
        storeu(p, _mm256_blend_pd(x0y0x2y2, z2x3z0x1, 0b1100));
        storeu(p + 4, _mm256_blend_pd(y1z1y3z3, x0y0x2y2, 0b1100));
        storeu(p + 8, _mm256_blend_pd(z2x3z0x1, y1z1y3z3, 0b1100));
    } else {
        const Reg x0y0x2y2 = _mm256_unpacklo_pd(cols[0], cols[1]);
        const Reg x1y1x3y3 = _mm256_unpackhi_pd(cols[0], cols[1]);
        storeu(p, _mm256_permute2f128_pd(x0y0x2y2, x1y1x3y3, 0x20));
        storeu(p + 4, _mm256_permute2f128_pd(x0y0x2y2, x1y1x3y3, 0x31));
    }
}

}  // namespace gk::simd::inline GK_SIMD_ISA::reg
