// geokern core: the six exported scalar conversions (see core.hpp).
//
// The core functions carry their own constants, written with the IEEE-754
// bit patterns they must have.  rad2deg and deg2rad are called, not
// inlined: they are exported and therefore interposable, so the compiler
// goes through their symbols.
#include "core/core.hpp"

#include <cmath>

namespace {

constexpr double kRadToDeg = 57.29577951308232;          // 0x404CA5DC1A63C1F8
constexpr double kDegToRad = 0.017453292519943295;       // 0x3F91DF46A2529D39
constexpr double kInvRadius = 1.567855942887398e-07;     // 0x3E850B1CAC0206BA, 1/6378137
constexpr double kA = 6378137.0;                         // 0x415854A640000000
constexpr double kB = 6356752.314245179;                 // 0x41583FC4141C97D0
constexpr double kA2 = 40680631590769.0;                 // 0x42C27FD94C2FB880
constexpr double kOneMinusE2 = 0.9933056200098587;       // 0x3FEFC928DE1C02D6
constexpr double kQuarterPi = 0.7853981633974483;        // 0x3FE921FB54442D18
constexpr double kMinusHalfPi = -1.5707963267948966;     // 0xBFF921FB54442D18

}  // namespace

double rad2deg(double radians) { return radians * kRadToDeg; }

double deg2rad(double degrees) { return degrees * kDegToRad; }

std::vector<double> webMercatorToGeodetic(double x, double y, double z) {
    const double lon = rad2deg(x * kInvRadius);
    const double t = std::exp(y * kInvRadius);
    // Gudermannian: 2 atan(e^(y/R)) - pi/2, multiply and subtract in one rounding.
    const double lat = rad2deg(std::fma(std::atan(t), 2.0, kMinusHalfPi));
    return {lon, lat, z};
}

std::vector<double> geodeticToWebMercator(double lon, double lat, double alt) {
    const double lambda = deg2rad(lon);
    const double phi = deg2rad(lat);
    const double x = lambda * kA;
    // ln(tan(pi/4 + phi/2)); the tangent's argument is formed in one rounding.
    // At phi = 0 it is the rounded pi/4, whose tangent is just below 1, so y
    // comes out as a tiny negative number rather than 0.
    const double y = std::log(std::tan(std::fma(phi, 0.5, kQuarterPi))) * kA;
    return {x, y, alt};
}

std::vector<double> geodetic2ecef_degree(double lon, double lat, double alt) {
    double sin_lambda, cos_lambda, sin_phi, cos_phi;
    ::sincos(deg2rad(lon), &sin_lambda, &cos_lambda);
    ::sincos(deg2rad(lat), &sin_phi, &cos_phi);
    // Prime-vertical radius a^2 / sqrt(a^2 cos^2 phi + b^2 sin^2 phi); hypot
    // keeps the squares from overflowing.
    const double d = std::hypot(cos_phi * kA, sin_phi * kB);
    const double n = kA2 / d;
    const double x = (n + alt) * cos_phi * cos_lambda;
    const double y = (n + alt) * cos_phi * sin_lambda;
    const double z = std::fma(n, kOneMinusE2, alt) * sin_phi;
    return {x, y, z};
}

bool out_of_china(double lon, double lat) {
    // Written as "not inside" so that a NaN coordinate fails every
    // comparison and lands outside.
    return !(lon <= 135.05 && lon >= 73.66 && lat >= 3.86 && lat <= 53.55);
}
