// geokern core: the AVX-512 register layer of the vector kernels: one
// register of eight doubles, comparisons into mask registers, the math
// library's 8-lane functions, and packed rows moved between memory and
// registers by permutes.  Included by simd_reg.hpp only, in files compiled
// for x86-64-v4.
#pragma once

#include <immintrin.h>
#include <sleef.h>

namespace gk::simd::inline GK_SIMD_ISA::reg {

using Reg = __m512d;
using RegMask = __mmask8;  // one bit per lane
using RegPair = Sleef___m512d_2;
inline constexpr int kLanes = 8;
inline constexpr int kAllLanes = 0xff;

inline Reg set1(double x) { return _mm512_set1_pd(x); }
inline Reg loadu(const double* p) { return _mm512_loadu_pd(p); }
inline void storeu(double* p, Reg a) { _mm512_storeu_pd(p, a); }
inline Reg fmadd(Reg a, Reg b, Reg c) { return _mm512_fmadd_pd(a, b, c); }
inline Reg sqrt(Reg a) { return _mm512_sqrt_pd(a); }
inline Reg abs(Reg a) { return _mm512_abs_pd(a); }
inline Reg max(Reg a, Reg b) { return _mm512_max_pd(a, b); }
template <int Predicate>
inline RegMask compare(Reg a, Reg b) {
    return _mm512_cmp_pd_mask(a, b, Predicate);
}
inline RegMask mask_or(RegMask a, RegMask b) { return a | b; }
inline RegMask mask_and(RegMask a, RegMask b) { return a & b; }
inline int mask_bits(RegMask m) { return m; }
inline Reg blend(RegMask m, Reg yes, Reg no) { return _mm512_mask_blend_pd(m, no, yes); }
inline Reg zero_unless(RegMask m, Reg a) { return _mm512_maskz_mov_pd(m, a); }

// The math library's function `name` of this width, at `accuracy`.
#define GK_SLEEF(name, accuracy) Sleef_##name##d8_##accuracy##avx512f

// Permute indices for moving whole rows between memory and the lanes.  In
// a block of packed rows of W doubles, element (row l, column c) is item
// W * l + c; a two-source permute takes items [0, 16) of its two sources,
// so a block of 24 items needs a second one for the rest.
namespace detail {

struct Permutes {
    alignas(64) long long first[4][kLanes];
    alignas(64) long long second[4][kLanes];
};

// Column c of kLanes rows of width W: `first` picks items below 16 out of
// the block's registers 0 and 1 (lane 0 for the others), `second` keeps
// those and takes the rest from register 2.  W == 4 instead picks four
// rows out of each pair of registers into lanes 0 .. 3.
template <int W>
constexpr Permutes load_permutes() {
    Permutes p{};
    for (int c = 0; c < W; ++c) {
        for (int l = 0; l < kLanes; ++l) {
            const int i = W * l + c;
            p.first[c][l] = W == 4 ? 4 * (l & 3) + c : (i < 2 * kLanes ? i : 0);
            p.second[c][l] = i < 2 * kLanes ? l : i - kLanes;
        }
    }
    return p;
}

// Register k of a block of kLanes rows of C columns: item i = kLanes * k + l
// is lane i / C of column i % C.  `first` takes columns 0 and 1 (lane 0
// for column 2), `second` keeps those and takes column 2.
template <int C>
constexpr Permutes store_permutes() {
    Permutes p{};
    for (int k = 0; k < C; ++k) {
        for (int l = 0; l < kLanes; ++l) {
            const int i = kLanes * k + l, row = i / C, col = i % C;
            p.first[k][l] = col == 2 ? 0 : col * kLanes + row;
            p.second[k][l] = col == 2 ? kLanes + row : l;
        }
    }
    return p;
}

template <int W>
inline constexpr Permutes kLoadPermutes = load_permutes<W>();
template <int C>
inline constexpr Permutes kStorePermutes = store_permutes<C>();

inline __m512i index(const long long (&idx)[kLanes]) { return _mm512_load_si512(idx); }

}  // namespace detail

// Columns 0 .. C-1 of kLanes packed rows of W >= C doubles each.
template <int C, int W>
inline void load_rows(const double* p, Reg (&cols)[C]) {
    static_assert(C <= W && (W == 3 || W == 4));
    constexpr const detail::Permutes& perm = detail::kLoadPermutes<W>;
    if constexpr (W == 4) {
        // Rows 0-3 come from registers a, b and rows 4-7 from c, d; the two
        // halves of a column join by 256-bit blocks.  The last row's
        // fourth item is not loaded: it may lie past the array's memory.
        const Reg a = loadu(p), b = loadu(p + 8), c = loadu(p + 16);
        const Reg d = _mm512_maskz_loadu_pd(0x7f, p + 24);
        for (int col = 0; col < C; ++col) {
            const __m512i idx = detail::index(perm.first[col]);
            cols[col] =
                _mm512_shuffle_f64x2(_mm512_permutex2var_pd(a, idx, b),
                                     _mm512_permutex2var_pd(c, idx, d), _MM_SHUFFLE(1, 0, 1, 0));
        }
    } else {
        Reg block[W];
        for (int k = 0; k < W; ++k) block[k] = loadu(p + kLanes * k);
        for (int col = 0; col < C; ++col) {
            cols[col] = _mm512_permutex2var_pd(block[0], detail::index(perm.first[col]), block[1]);
            if constexpr (W == 3) {
                cols[col] =
                    _mm512_permutex2var_pd(cols[col], detail::index(perm.second[col]), block[2]);
            }
        }
    }
}

// The inverse for C == W: kLanes lanes of C columns stored as packed rows.
template <int C>
inline void store_rows(double* p, const Reg (&cols)[C]) {
    static_assert(C == 2 || C == 3);
    constexpr const detail::Permutes& perm = detail::kStorePermutes<C>;
    for (int k = 0; k < C; ++k) {
        Reg out = _mm512_permutex2var_pd(cols[0], detail::index(perm.first[k]), cols[1]);
        if constexpr (C == 3) {
            out = _mm512_permutex2var_pd(out, detail::index(perm.second[k]), cols[2]);
        }
        storeu(p + kLanes * k, out);
    }
}

}  // namespace gk::simd::inline GK_SIMD_ISA::reg
