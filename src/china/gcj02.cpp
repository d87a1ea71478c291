// geokern china: the GCJ-02 offset model (see gcj02.hpp).
//
// The raw offsets need the sines of pi v/30, pi v/12, pi v/3, pi v, 2 pi v
// and 6 pi v for v = x and (the first four) v = y, and the scaling needs
// the sine and cosine of the latitude.  Rather than eleven evaluations,
// two sine-cosine pairs serve them all, through exact angle identities:
// for x, u = pi x/60; for y, the latitude's own pair, from which
// pi y/180 = lat - 35 deg and u = 3 (pi y/180) follow.  From u: 2u by
// doubling, 5u as 2u + 3u, 20u by doubling twice, 60u by tripling, then
// (for x) 120u by doubling and 360u by tripling.  Each step adds a rounding and scales the earlier error by
// at most the step's factor: over the box and its surroundings the sines
// stay within about 4e-13 of directly evaluated ones (for 6 pi x; the
// direct evaluation's own argument rounding is 1e-13 there).  That is a few
// units in the last place of the raw offsets and some 1e-17 degrees in the
// shifted position: over the box, results equal the plain evaluation of
// the formulas or differ by one unit in the last place (about 0.2% of
// coordinates).  Anywhere else (when the box test is replaced) they stay
// within 3e-14 degrees, or 3e-14 of the offset where it grows beyond a
// degree near the poles.
#include "china/gcj02.hpp"

#include "core/constants.hpp"

#include <cmath>

namespace gk::china {

namespace {

constexpr double kOriginLon = 105.0;
constexpr double kOriginLat = 35.0;
constexpr double kTwoThirds = 0.6666666666666666;  // weight of every sine group

struct SinCos {
    double s;
    double c;
};

SinCos sincos_of(double angle) noexcept {
    SinCos r;
    ::sincos(angle, &r.s, &r.c);
    return r;
}

// sin 2a = 2 sin a cos a; cos 2a = (cos a - sin a)(cos a + sin a), which
// keeps its accuracy where cos^2 and sin^2 nearly cancel.
SinCos twice(SinCos a) noexcept { return {2.0 * a.s * a.c, (a.c - a.s) * (a.c + a.s)}; }

// sin 3a = sin a (3 - 4 sin^2 a); cos 3a = cos a (4 cos^2 a - 3).
SinCos thrice(SinCos a) noexcept {
    return {a.s * (3.0 - 4.0 * a.s * a.s), a.c * (4.0 * a.c * a.c - 3.0)};
}

SinCos sum(SinCos a, SinCos b) noexcept { return {a.s * b.c + a.c * b.s, a.c * b.c - a.s * b.s}; }

SinCos difference(SinCos a, SinCos b) noexcept {
    return {a.s * b.c - a.c * b.s, a.c * b.c + a.s * b.s};
}

// Sines of the multiples of pi v that the polynomials use.
struct Sines {
    double v30;  // sin(pi v / 30)
    double v12;  // sin(pi v / 12)
    double v3;  // sin(pi v / 3)
    SinCos v1;  // sin and cos of pi v
};

// The sines of the multiples of pi v from u = pi v / 60.
Sines sines_from(SinCos u1) noexcept {
    const SinCos u2 = twice(u1);
    const SinCos u5 = sum(u2, thrice(u1));
    const SinCos u20 = twice(twice(u5));
    const SinCos u60 = thrice(u20);
    return {u2.s, u5.s, u20.s, u60};
}

// pi y / 180 = pi lat / 180 - pi 35 / 180.  The sine and cosine of
// kOriginLat / 180.0 * kPi as the C library's sincos gives them, written out
// so that no code of this library runs while it is being loaded (see
// module/init.cpp); tests/china checks them against the library.
constexpr SinCos kOriginLatAngle{0x1.25abcf87c4978p-1, 0x1.a367e59158747p-1};

// Raw offsets, in the units the scaling to degrees expects.
struct RawOffset {
    double lon;
    double lat;
};

// 2/3 * (k1 s1 + k2 s2)
double sine_group(double k1, double s1, double k2, double s2) noexcept {
    return kTwoThirds * (k1 * s1 + k2 * s2);
}

// The raw offsets at x = lon - 105, y = lat - 35, given the sines of x and y.
RawOffset raw_offset(double x, double y, const Sines& sx, const Sines& sy) noexcept {
    const double root = std::sqrt(std::fabs(x));
    const SinCos x2 = twice(sx.v1);  // 2 pi x
    const SinCos x6 = thrice(x2);  // 6 pi x
    const double shared = sine_group(20.0, x6.s, 20.0, x2.s);
    double lat = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * root;
    lat += shared;
    lat += sine_group(20.0, sy.v1.s, 40.0, sy.v3);
    lat += sine_group(160.0, sy.v12, 320.0, sy.v30);
    double lon = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * root;
    lon += shared;
    lon += sine_group(20.0, sx.v1.s, 40.0, sx.v3);
    lon += sine_group(150.0, sx.v12, 300.0, sx.v30);
    return {lon, lat};
}

}  // namespace

bool gcj02_shift(double lon, double lat, LonLat& out) noexcept {
    const double x = lon - kOriginLon;
    const double y = lat - kOriginLat;
    // The latitude's sine and cosine are evaluated directly: near the
    // poles the cosine is all that is left of the longitude's divisor, and
    // a derived one would lose its relative accuracy there.
    const SinCos phi = sincos_of(lat / 180.0 * kPi);
    const Sines sx = sines_from(sincos_of(x * (kPi / 60.0)));
    const Sines sy = sines_from(thrice(difference(phi, kOriginLatAngle)));
    const RawOffset raw = raw_offset(x, y, sx, sy);
    const double magic = 1.0 - kKrasovskyE2 * phi.s * phi.s;  // W^2
    const double sqrtmagic = std::sqrt(magic);  // W
    // W^2 >= 1 - e^2 for every finite latitude, and the cosine of a double
    // is never exactly zero, so these divisors vanish only in theory; the
    // tests make a zero divisor an error rather than an infinity.
    const double w3 = magic * sqrtmagic;
    if (w3 == 0.0) return false;
    const double lat_divisor = kKrasovskyA * (1.0 - kKrasovskyE2) / w3 * kPi;
    if (lat_divisor == 0.0 || sqrtmagic == 0.0) return false;
    const double lon_divisor = kKrasovskyA / sqrtmagic * phi.c * kPi;
    if (lon_divisor == 0.0) return false;
    out.lon = lon + raw.lon * 180.0 / lon_divisor;
    out.lat = lat + raw.lat * 180.0 / lat_divisor;
    return true;
}

}  // namespace gk::china
