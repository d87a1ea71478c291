// geokern: ellipsoid and projection constants shared by the conversions.
//
// Two sets exist on purpose.  The exported core functions (core.cpp) carry
// their own values; the module-level constants below serve the ECEF, Web
// Mercator batch and China datum code.  Two of them differ from the core
// set in the last bits (b by 1 ulp, 1 - e^2 by 2 ulp), which is why
// geodetic2ecef_cpp and the other ECEF paths may disagree in the last digit.
// The core set is pinned by its IEEE-754 bit patterns in tests/core; the
// module-level set by tests/core/test_constants.py, which checks the same
// decimals (tests/shared.py) against the derivations below, and by the
// bit-exact comparisons of the ECEF paths with the references built on them.
#pragma once

namespace gk {

// WGS-84, module-level set.  Defining parameters a = 6378137 m and
// 1/f = 298.257223563 (NIMA TR8350.2, 3rd edition, 2000); the others are
// derived:
//   b = a (1 - f) = 6356752.31424517950 m, here rounded to 8 decimals (the
//     core set holds the nearest double, 6356752.314245179, 1 ulp lower);
//   a^2 exactly;
//   b^2/a^2 = 1 - e^2: (b/a)^2 of this b, correctly rounded (the exact
//     (1 - f)^2 = 0.993305620009858683 rounds 2 ulp lower, the core value);
//   E = sqrt(a^2 - b^2), evaluated in doubles as sqrt(a * a - b * b) with
//     this b (1.4e-9 m above the exact 521854.0084233764 of this b).
inline constexpr double kWgs84A = 6378137.0;                    // a, m
inline constexpr double kWgs84B = 6356752.31424518;             // b, m
inline constexpr double kWgs84A2 = 40680631590769.0;            // a^2, m^2
inline constexpr double kWgs84B2OverA2 = 0.9933056200098589;    // b^2/a^2 = 1 - e^2
inline constexpr double kWgs84LinearEccentricity = 521854.0084233778;  // sqrt(a^2 - b^2), m

// Krasovsky 1940, the ellipsoid of the GCJ-02 offset model: a = 6378245 m,
// 1/f = 298.3; e^2 = 2f - f^2 = 0.00669342162296594323, correctly rounded.
inline constexpr double kKrasovskyA = 6378245.0;                // a, m
inline constexpr double kKrasovskyE2 = 0.006693421622965943;    // e^2

inline constexpr double kPi = 3.141592653589793;          // the double nearest pi
inline constexpr double kHalfPi = 1.5707963267948966;      // the double nearest pi/2
inline constexpr double kQuarterPi = 0.7853981633974483;   // the double nearest pi/4

// The doubles nearest pi/180 and 180/pi, the factors of the batch loops
// and of the ECEF solver between degrees and radians.
inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;

}  // namespace gk
