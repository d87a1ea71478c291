// geokern core: multi-lane double vectors for the batch loops.
//
// The batch conversions spend their time in sine, cosine, arctangent and
// friends.  These wrappers let a kernel be written like scalar code over
// kLanes rows at once: arithmetic is IEEE double per lane (fma() is one
// rounding, as std::fma), and the elementary functions are the SIMD math
// library's variants with at most 1 ulp error.  No lane's result depends on
// its neighbours or on the vector width.  A vector is kRegs registers of
// the register layer the compiler's target selects (simd_reg.hpp, whose
// namespace rule applies here too); simd_rows.hpp moves rows in and out.
#pragma once

#include "core/row_kernel.hpp"
#include "core/simd_reg.hpp"

namespace gk::simd::inline GK_SIMD_ISA {

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

}  // namespace gk::simd::inline GK_SIMD_ISA
