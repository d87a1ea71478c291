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

// Columns 0 .. C-1 of rows i .. i + count - 1 (1 <= count <= kLanes) of a
// strided row set, one vector per column.  Lanes past `count` repeat the
// last row, so they compute something harmless and are never stored.
// Elements are copied byte-wise: numpy arrays need not be aligned.
template <int C>
void gather(StridedRows<const double> rows, std::ptrdiff_t i, int count, Vd (&out)[C]) {
    assert(count >= 1 && count <= kLanes);
    alignas(64) double lanes[C][kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const char* row = rows.data + (i + (l < count ? l : count - 1)) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(&lanes[c][l], row + c * rows.col_stride, sizeof(double));
    }
    for (int c = 0; c < C; ++c) out[c] = load(lanes[c]);
}

// Stores the first `count` lanes of each vector into columns 0 .. C-1 of
// rows i .. i + count - 1.
template <int C>
void scatter(StridedRows<double> rows, std::ptrdiff_t i, int count, const Vd (&in)[C]) {
    assert(count >= 0 && count <= kLanes);
    alignas(64) double lanes[C][kLanes];
    for (int c = 0; c < C; ++c) store(lanes[c], in[c]);
    for (int l = 0; l < count; ++l) {
        char* row = rows.data + (i + l) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(row + c * rows.col_stride, &lanes[c][l], sizeof(double));
    }
}

// A RowKernel (row_kernel.hpp) from `Kernel(in0, in1, in2, out)`: columns
// 0, 1, 2 of each row in, Out columns out, kLanes rows at a time.
template <int Out, auto Kernel>
void map_rows(StridedRows<const double> src, StridedRows<double> dst, std::ptrdiff_t begin,
              std::ptrdiff_t end) noexcept {
    for (std::ptrdiff_t i = begin; i < end; i += kLanes) {
        const int count = end - i < kLanes ? static_cast<int>(end - i) : kLanes;
        Vd in[3], out[Out];
        gather(src, i, count, in);
        Kernel(in[0], in[1], in[2], out);
        scatter(dst, i, count, out);
    }
}

}  // namespace gk::simd::inline GK_SIMD_ISA
