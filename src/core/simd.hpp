// geokern core: multi-lane double vectors for the batch loops.
//
// The batch conversions spend their time in sine, cosine, arctangent and
// friends.  These wrappers let a kernel be written like scalar code over
// kLanes rows at once: arithmetic is IEEE double per lane (fma() is one
// rounding, as std::fma), and the elementary functions are the SIMD math
// library's variants with at most 1 ulp error.  No lane's result depends on
// its neighbours or on the vector width.
//
// The implementation follows the compiler's target: with AVX-512
// (-march=x86-64-v4) a vector is two 512-bit registers and the comparisons
// give mask registers; otherwise four 256-bit AVX2 registers.  Everything
// here lives in the inline namespace GK_SIMD_ISA (avx512 or avx2), and so
// must every other definition of a file compiled for AVX-512: an inline
// function or template instantiation of that file then has a name of its
// own, and the linker cannot pick its AVX-512 code for a caller that runs on
// a processor without it.  Include this header only from the kernel tables
// (row_kernel.hpp), never from the module layer.
#pragma once

#include "core/row_kernel.hpp"
#include "core/strided.hpp"

#include <immintrin.h>
#include <sleef.h>

#include <cassert>
#include <cstddef>
#include <cstring>

#if defined(__AVX512F__)
#define GK_SIMD_ISA avx512
#elif defined(__AVX2__) && defined(__FMA__)
#define GK_SIMD_ISA avx2
#else
#error "the vector kernels are built for x86-64-v3 (AVX2, FMA) or x86-64-v4 (AVX-512)"
#endif

namespace gk::simd::inline GK_SIMD_ISA {

// ===========================================================================
// One register: the only part that differs between the two widths.

namespace reg {

#if defined(__AVX512F__)

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

#else

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

#endif

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

}  // namespace reg

// ===========================================================================
// Vectors of kLanes rows, kRegs registers each.  Every operation is issued
// on all registers back to back: their chains are independent, so the CPU
// overlaps the long latency of the math functions instead of waiting on
// each.

inline constexpr int kLanes = kRowGroup;
inline constexpr int kRegs = kLanes / reg::kLanes;
static_assert(kRegs * reg::kLanes == kLanes);

struct Vd {
    reg::Reg r[kRegs];
};

struct Mask {
    reg::RegMask r[kRegs];
};

namespace detail {

template <class F>
inline Vd each(Vd a, F f) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = f(a.r[k]);
    return out;
}

template <class F>
inline Vd each(Vd a, Vd b, F f) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = f(a.r[k], b.r[k]);
    return out;
}

template <int Predicate>
inline Mask compare(Vd a, Vd b) {
    Mask out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = reg::compare<Predicate>(a.r[k], b.r[k]);
    return out;
}

// The library's trigonometric routines choose their argument reduction
// once per register: one lane of magnitude 1e14 or more, or not finite,
// sends the whole register down the slow reduction, which changes the last
// bits of the other lanes.  Below that every lane gives what it gives
// alone, on either width (measured: no difference in 2 million random
// pairs of lanes up to 1e14, for sin, cos, tan and sincos; and none between
// the AVX2 and the AVX-512 routines on 2 million lanes each evaluated
// alone, over all magnitudes and random bit patterns).  So lanes under
// kTrigPlain go through together, with zeros in place of the others, and
// each other lane is then evaluated alone, on a register of copies of
// itself: every lane gets its value's own result, whatever its neighbours.
inline constexpr double kTrigPlain = 1e9;

// `f` (one register in, a register or a pair out) applied so that no
// lane's result depends on the others.
template <class F>
inline auto lanewise_trig(F f) {
    return [f](reg::Reg x) {
        const reg::RegMask plain = reg::compare<_CMP_LT_OQ>(reg::abs(x), reg::set1(kTrigPlain));
        const int bits = reg::mask_bits(plain);
        if (bits == reg::kAllLanes) return f(x);
        auto out = f(reg::zero_unless(plain, x));
        for (int k = 0; k < reg::kLanes; ++k) {
            if (!(bits >> k & 1)) out = reg::with_lane_of(out, k, f(reg::set1(reg::lane(x, k))));
        }
        return out;
    };
}

}  // namespace detail

inline Vd splat(double x) {
    Vd out;
    for (reg::Reg& r : out.r) r = reg::set1(x);
    return out;
}
inline Vd load(const double* p) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = reg::loadu(p + reg::kLanes * k);
    return out;
}
inline void store(double* p, Vd a) {
    for (int k = 0; k < kRegs; ++k) reg::storeu(p + reg::kLanes * k, a.r[k]);
}

// The compiler's vector arithmetic: one IEEE operation per lane (no
// contraction: -ffp-contract=off); negation flips the sign bit only.
inline Vd operator+(Vd a, Vd b) {
    return detail::each(a, b, [](reg::Reg x, reg::Reg y) { return x + y; });
}
inline Vd operator-(Vd a, Vd b) {
    return detail::each(a, b, [](reg::Reg x, reg::Reg y) { return x - y; });
}
inline Vd operator*(Vd a, Vd b) {
    return detail::each(a, b, [](reg::Reg x, reg::Reg y) { return x * y; });
}
inline Vd operator/(Vd a, Vd b) {
    return detail::each(a, b, [](reg::Reg x, reg::Reg y) { return x / y; });
}
inline Vd operator-(Vd a) {
    return detail::each(a, [](reg::Reg x) { return -x; });
}

// a * b + c in one rounding.
inline Vd fma(Vd a, Vd b, Vd c) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = reg::fmadd(a.r[k], b.r[k], c.r[k]);
    return out;
}

inline Mask operator<(Vd a, Vd b) { return detail::compare<_CMP_LT_OQ>(a, b); }
inline Mask operator<=(Vd a, Vd b) { return detail::compare<_CMP_LE_OQ>(a, b); }
inline Mask operator>=(Vd a, Vd b) { return detail::compare<_CMP_GE_OQ>(a, b); }
inline Mask operator|(Mask a, Mask b) {
    Mask out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = reg::mask_or(a.r[k], b.r[k]);
    return out;
}

// Lane by lane: `yes` where the mask is set, `no` elsewhere.
inline Vd select(Mask mask, Vd yes, Vd no) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = reg::blend(mask.r[k], yes.r[k], no.r[k]);
    return out;
}

inline Vd sqrt(Vd a) {
    return detail::each(a, [](reg::Reg x) { return reg::sqrt(x); });
}
inline Vd sin(Vd a) { return detail::each(a, detail::lanewise_trig(reg::sleef_sin)); }
inline Vd cos(Vd a) { return detail::each(a, detail::lanewise_trig(reg::sleef_cos)); }
inline Vd tan(Vd a) { return detail::each(a, detail::lanewise_trig(reg::sleef_tan)); }
inline Vd atan(Vd a) { return detail::each(a, reg::sleef_atan); }
inline Vd atan2(Vd y, Vd x) { return detail::each(y, x, reg::sleef_atan2); }
inline Vd exp(Vd a) { return detail::each(a, reg::sleef_exp); }
inline Vd log(Vd a) { return detail::each(a, reg::sleef_log); }

// sqrt(a^2 + b^2) without spurious overflow or underflow.  Where the larger
// magnitude m of a lane is 0 or within (1e-150, 1e150), no square can
// overflow, and a square that underflows is too small against m^2 to
// matter: the root of one fused multiply-add is then within 1 ulp, at a
// fraction of the cost of the general routine, which serves the other
// lanes.  The choice is made per lane, so neighbours never change a result.
inline Vd hypot(Vd a, Vd b) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) {
        const reg::Reg m = reg::max(reg::abs(a.r[k]), reg::abs(b.r[k]));
        const reg::RegMask plain =
            reg::mask_and(reg::compare<_CMP_LT_OQ>(m, reg::set1(1e150)),
                          reg::mask_or(reg::compare<_CMP_GT_OQ>(m, reg::set1(1e-150)),
                                       reg::compare<_CMP_EQ_OQ>(m, reg::set1(0.0))));
        out.r[k] = reg::sqrt(reg::fmadd(a.r[k], a.r[k], b.r[k] * b.r[k]));
        if (reg::mask_bits(plain) != reg::kAllLanes) {
            out.r[k] = reg::blend(plain, out.r[k], reg::sleef_hypot(a.r[k], b.r[k]));
        }
    }
    return out;
}

// Sine and cosine from one combined evaluation.
inline void sincos(Vd a, Vd& s, Vd& c) {
    for (int k = 0; k < kRegs; ++k) {
        const reg::RegPair sc = detail::lanewise_trig(reg::sleef_sincos)(a.r[k]);
        s.r[k] = sc.x;
        c.r[k] = sc.y;
    }
}

// ===========================================================================
// Rows in and out.

namespace detail {

// Whether a group of `count` rows is a full one of packed rows of w
// doubles each, as in numpy's C-contiguous (N, w) float64 arrays.
template <class T>
inline bool packed(StridedRows<T> rows, int count, int w) {
    constexpr std::ptrdiff_t d = sizeof(double);
    return count == kLanes && rows.col_stride == d && rows.row_stride == w * d;
}

}  // namespace detail

// Columns 0 .. C-1 of rows i .. i + count - 1 (1 <= count <= kLanes) of a
// strided row set, one vector per column.  Lanes past `count` repeat the
// last row, so they compute something harmless and are never stored.
// Packed rows are loaded as whole vectors and taken apart in registers;
// other layouts are copied element by element.  Nothing needs to be
// aligned (numpy arrays need not be): the copies are byte-wise and the
// vector loads and stores unaligned ones.
template <int C>
void gather(StridedRows<const double> rows, std::ptrdiff_t i, int count, Vd (&out)[C]) {
    assert(count >= 1 && count <= kLanes);
    const auto take = [&out, &rows, i]<int W>() {
        const auto* block = reinterpret_cast<const double*>(rows.data + i * rows.row_stride);
        for (int k = 0; k < kRegs; ++k) {
            reg::Reg cols[C];
            reg::load_rows<C, W>(block + W * reg::kLanes * k, cols);
            for (int c = 0; c < C; ++c) out[c].r[k] = cols[c];
        }
    };
    if (detail::packed(rows, count, C)) return take.template operator()<C>();
    // Three columns of four (homogeneous rows) cost no more to take apart.
    if constexpr (C == 3) {
        if (detail::packed(rows, count, 4)) return take.template operator()<4>();
    }
    alignas(64) double lanes[C][kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const char* row = rows.data + (i + (l < count ? l : count - 1)) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(&lanes[c][l], row + c * rows.col_stride, sizeof(double));
    }
    for (int c = 0; c < C; ++c) out[c] = load(lanes[c]);
}

// Stores the first `count` lanes of each vector into columns 0 .. C-1 of
// rows i .. i + count - 1: a full group of packed rows as whole vectors,
// anything else element by element.
template <int C>
void scatter(StridedRows<double> rows, std::ptrdiff_t i, int count, const Vd (&in)[C]) {
    assert(count >= 0 && count <= kLanes);
    if (detail::packed(rows, count, C)) {
        auto* block = reinterpret_cast<double*>(rows.data + i * rows.row_stride);
        for (int k = 0; k < kRegs; ++k) {
            reg::Reg cols[C];
            for (int c = 0; c < C; ++c) cols[c] = in[c].r[k];
            reg::store_rows<C>(block + C * reg::kLanes * k, cols);
        }
        return;
    }
    alignas(64) double lanes[C][kLanes];
    for (int c = 0; c < C; ++c) store(lanes[c], in[c]);
    for (int l = 0; l < count; ++l) {
        char* row = rows.data + (i + l) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(row + c * rows.col_stride, &lanes[c][l], sizeof(double));
    }
}

// A RowKernel (row_kernel.hpp) from `Kernel(in0, in1, in2, out)`: columns
// 0, 1, 2 of each row in, Out columns out, kLanes rows at a time.  The
// loop is compiled as one function, gather, kernel and scatter inlined:
// its vectors then stay in registers instead of going through the stack
// at each call.
template <int Out, auto Kernel>
[[gnu::flatten]] void map_rows(StridedRows<const double> src, StridedRows<double> dst,
                               std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    for (std::ptrdiff_t i = begin; i < end; i += kLanes) {
        const int count = end - i < kLanes ? static_cast<int>(end - i) : kLanes;
        Vd in[3], out[Out];
        gather(src, i, count, in);
        Kernel(in[0], in[1], in[2], out);
        scatter(dst, i, count, out);
    }
}

}  // namespace gk::simd::inline GK_SIMD_ISA
