// geokern: ellipsoid and projection constants shared by the conversions.
//
// Two sets exist on purpose.  The exported core functions (core.cpp) carry
// their own values; the module-level constants below serve the ECEF, Web
// Mercator batch and China datum code.  Two of them differ from the core
// set in the last bits (b by 1 ulp, 1 - e^2 by 2 ulp), which is why
// geodetic2ecef_cpp and the other ECEF paths may disagree in the last digit.
// Each value is pinned by its IEEE-754 bit pattern in tests/core.
#pragma once

namespace gk {

// WGS-84, module-level set.
inline constexpr double kWgs84A = 6378137.0;                    // a, m
inline constexpr double kWgs84B = 6356752.31424518;             // b, m
inline constexpr double kWgs84A2 = 40680631590769.0;            // a^2, m^2
inline constexpr double kWgs84B2OverA2 = 0.9933056200098589;    // b^2/a^2 = 1 - e^2
inline constexpr double kWgs84LinearEccentricity = 521854.0084233778;  // sqrt(a^2 - b^2), m

// Krasovsky 1940, the ellipsoid of the GCJ-02 offset model.
inline constexpr double kKrasovskyA = 6378245.0;                // a, m
inline constexpr double kKrasovskyE2 = 0.006693421622965943;    // e^2

inline constexpr double kPi = 3.141592653589793;

// The double nearest pi/180, the batch loops' degree-to-radian factor.
inline constexpr double kDegToRad = 0.017453292519943295;

}  // namespace gk
