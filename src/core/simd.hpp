// geokern core: multi-lane double vectors for the batch loops.
//
// The batch conversions spend their time in sine, cosine, arctangent and
// friends.  These wrappers let a kernel be written like scalar code over
// sixteen rows at once: arithmetic is IEEE double per lane (fma() is one
// rounding, as std::fma), and the elementary functions are the SIMD math
// library's AVX2 variants with at most 1 ulp error.  No lane's result
// depends on its neighbours or on the CPU the module runs on.
#pragma once

#include <immintrin.h>
#include <sleef.h>

#include <cassert>
#include <cstddef>

namespace gk::simd {

// Lanes are held in kRegs AVX2 registers of four.  Every operation is
// issued on all registers back to back: their chains are independent, so
// the CPU overlaps the long latency of the math functions instead of
// waiting on each.
inline constexpr int kRegs = 4;
inline constexpr int kLanes = 4 * kRegs;

struct Vd {
    __m256d r[kRegs];
};

struct Mask {
    __m256d r[kRegs];
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
    for (int k = 0; k < kRegs; ++k) out.r[k] = _mm256_cmp_pd(a.r[k], b.r[k], Predicate);
    return out;
}

// The library's trigonometric routines choose their argument reduction
// once per register: one lane of magnitude 1e14 or more, or not finite,
// sends the whole register down the slow reduction, which changes the last
// bits of the other lanes.  Below that every lane gives what it gives
// alone (measured: no difference in 2 million random pairs of lanes up to
// 1e14, for sin, cos, tan and sincos).  So lanes under kTrigPlain go
// through together, with zeros in place of the others, and each other lane
// is then evaluated alone, on a register of copies of itself: every lane
// gets its value's own result, whatever its neighbours.
inline constexpr double kTrigPlain = 1e9;

inline double lane(__m256d v, int k) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    return lanes[k];
}

inline __m256d with_lane(__m256d v, int k, double x) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    lanes[k] = x;
    return _mm256_load_pd(lanes);
}

inline __m256d with_lane_of(__m256d v, int k, __m256d from) {
    return with_lane(v, k, lane(from, k));
}

inline Sleef___m256d_2 with_lane_of(Sleef___m256d_2 v, int k, Sleef___m256d_2 from) {
    return {with_lane(v.x, k, lane(from.x, k)), with_lane(v.y, k, lane(from.y, k))};
}

// `f` (one register in, a register or a pair out) applied so that no
// lane's result depends on the others.
template <class F>
inline auto lanewise_trig(F f) {
    return [f](__m256d x) {
        const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
        const __m256d plain = _mm256_cmp_pd(magnitude, _mm256_set1_pd(kTrigPlain), _CMP_LT_OQ);
        const int mask = _mm256_movemask_pd(plain);
        if (mask == 0xf) return f(x);
        auto out = f(_mm256_and_pd(x, plain));
        for (int k = 0; k < 4; ++k) {
            if (!(mask >> k & 1)) out = with_lane_of(out, k, f(_mm256_set1_pd(lane(x, k))));
        }
        return out;
    };
}

}  // namespace detail

inline Vd splat(double x) {
    Vd out;
    for (__m256d& r : out.r) r = _mm256_set1_pd(x);
    return out;
}
inline Vd load(const double* p) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = _mm256_loadu_pd(p + 4 * k);
    return out;
}
inline void store(double* p, Vd a) {
    for (int k = 0; k < kRegs; ++k) _mm256_storeu_pd(p + 4 * k, a.r[k]);
}

inline Vd operator+(Vd a, Vd b) {
    return detail::each(a, b, [](__m256d x, __m256d y) { return _mm256_add_pd(x, y); });
}
inline Vd operator-(Vd a, Vd b) {
    return detail::each(a, b, [](__m256d x, __m256d y) { return _mm256_sub_pd(x, y); });
}
inline Vd operator*(Vd a, Vd b) {
    return detail::each(a, b, [](__m256d x, __m256d y) { return _mm256_mul_pd(x, y); });
}
inline Vd operator/(Vd a, Vd b) {
    return detail::each(a, b, [](__m256d x, __m256d y) { return _mm256_div_pd(x, y); });
}
inline Vd operator-(Vd a) {
    return detail::each(a, [](__m256d x) { return _mm256_xor_pd(x, _mm256_set1_pd(-0.0)); });
}

// a * b + c in one rounding.
inline Vd fma(Vd a, Vd b, Vd c) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = _mm256_fmadd_pd(a.r[k], b.r[k], c.r[k]);
    return out;
}

inline Mask operator<(Vd a, Vd b) { return detail::compare<_CMP_LT_OQ>(a, b); }
inline Mask operator<=(Vd a, Vd b) { return detail::compare<_CMP_LE_OQ>(a, b); }
inline Mask operator>=(Vd a, Vd b) { return detail::compare<_CMP_GE_OQ>(a, b); }
inline Mask operator|(Mask a, Mask b) {
    Mask out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = _mm256_or_pd(a.r[k], b.r[k]);
    return out;
}

// Lane by lane: `yes` where the mask is set, `no` elsewhere.
inline Vd select(Mask mask, Vd yes, Vd no) {
    Vd out;
    for (int k = 0; k < kRegs; ++k) out.r[k] = _mm256_blendv_pd(no.r[k], yes.r[k], mask.r[k]);
    return out;
}

inline Vd sqrt(Vd a) {
    return detail::each(a, [](__m256d x) { return _mm256_sqrt_pd(x); });
}
inline Vd sin(Vd a) { return detail::each(a, detail::lanewise_trig(Sleef_sind4_u10avx2)); }
inline Vd cos(Vd a) { return detail::each(a, detail::lanewise_trig(Sleef_cosd4_u10avx2)); }
inline Vd tan(Vd a) { return detail::each(a, detail::lanewise_trig(Sleef_tand4_u10avx2)); }
inline Vd atan(Vd a) { return detail::each(a, Sleef_atand4_u10avx2); }
inline Vd atan2(Vd y, Vd x) { return detail::each(y, x, Sleef_atan2d4_u10avx2); }
inline Vd exp(Vd a) { return detail::each(a, Sleef_expd4_u10avx2); }
inline Vd log(Vd a) { return detail::each(a, Sleef_logd4_u10avx2); }

// sqrt(a^2 + b^2) without spurious overflow or underflow.  Where the larger
// magnitude m of a lane is 0 or within (1e-150, 1e150), no square can
// overflow, and a square that underflows is too small against m^2 to
// matter: the root of one fused multiply-add is then within 1 ulp, at a
// fraction of the cost of the general routine, which serves the other
// lanes.  The choice is made per lane, so neighbours never change a result.
inline Vd hypot(Vd a, Vd b) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    Vd out;
    for (int k = 0; k < kRegs; ++k) {
        const __m256d m =
            _mm256_max_pd(_mm256_andnot_pd(sign, a.r[k]), _mm256_andnot_pd(sign, b.r[k]));
        const __m256d plain =
            _mm256_and_pd(_mm256_cmp_pd(m, _mm256_set1_pd(1e150), _CMP_LT_OQ),
                          _mm256_or_pd(_mm256_cmp_pd(m, _mm256_set1_pd(1e-150), _CMP_GT_OQ),
                                       _mm256_cmp_pd(m, _mm256_setzero_pd(), _CMP_EQ_OQ)));
        out.r[k] = _mm256_sqrt_pd(_mm256_fmadd_pd(a.r[k], a.r[k], _mm256_mul_pd(b.r[k], b.r[k])));
        if (_mm256_movemask_pd(plain) != 0xf) {
            out.r[k] = _mm256_blendv_pd(Sleef_hypotd4_u05avx2(a.r[k], b.r[k]), out.r[k], plain);
        }
    }
    return out;
}

// Sine and cosine from one combined evaluation.
inline void sincos(Vd a, Vd& s, Vd& c) {
    for (int k = 0; k < kRegs; ++k) {
        const Sleef___m256d_2 sc = detail::lanewise_trig(Sleef_sincosd4_u10avx2)(a.r[k]);
        s.r[k] = sc.x;
        c.r[k] = sc.y;
    }
}

}  // namespace gk::simd

namespace gk::simd {

// Columns 0 .. C-1 of rows i .. i + count - 1 (1 <= count <= kLanes) of a
// strided row set, one vector per column.  Lanes past `count` repeat the
// last row, so they compute something harmless and are never stored.
template <int C, class Rows>
void gather(const Rows& rows, std::ptrdiff_t i, int count, Vd (&out)[C]) {
    assert(count >= 1 && count <= kLanes);
    alignas(32) double lanes[C][kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const std::ptrdiff_t row = i + (l < count ? l : count - 1);
        for (int c = 0; c < C; ++c) lanes[c][l] = rows(row, c);
    }
    for (int c = 0; c < C; ++c) out[c] = load(lanes[c]);
}

// Stores the first `count` lanes of each vector into columns 0 .. C-1 of
// rows i .. i + count - 1.
template <int C, class Rows>
void scatter(const Rows& rows, std::ptrdiff_t i, int count, const Vd (&in)[C]) {
    assert(count >= 0 && count <= kLanes);
    alignas(32) double lanes[C][kLanes];
    for (int c = 0; c < C; ++c) store(lanes[c], in[c]);
    for (int l = 0; l < count; ++l) {
        for (int c = 0; c < C; ++c) rows(i + l, c) = lanes[c][l];
    }
}

}  // namespace gk::simd
