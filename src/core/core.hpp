// geokern core: the six exported scalar conversions.
//
// These functions are exported from the extension's shared library under
// their plain C++ (mangled) names so that other native code can link them.
// They are pure and thread-safe; the vector results hold exactly three
// doubles.  The only exception any of them throws is std::bad_alloc from
// the vector.  Angles are neither normalised nor range-checked.
#pragma once

#include <vector>

#define GK_CORE_EXPORT __attribute__((visibility("default")))

// radians -> degrees: r * 57.29577951308232 (180/pi).
GK_CORE_EXPORT double rad2deg(double radians);

// degrees -> radians: d * 0.017453292519943295 (pi/180).
GK_CORE_EXPORT double deg2rad(double degrees);

// Web Mercator (x m, y m, z m) on the WGS-84 sphere radius to
// {lon deg, lat deg, z}; z passes through unchanged.
GK_CORE_EXPORT std::vector<double> webMercatorToGeodetic(double x, double y, double z);

// Geodetic (lon deg, lat deg, alt m) to Web Mercator {x m, y m, alt}.
// The latitude is not clamped: lat = 90 gives a huge y, lat = -90 a
// non-finite one.
GK_CORE_EXPORT std::vector<double> geodeticToWebMercator(double lon, double lat, double alt);

// Geodetic (lon deg, lat deg, alt m) on WGS-84 to ECEF {X, Y, Z} in metres.
GK_CORE_EXPORT std::vector<double> geodetic2ecef_degree(double lon, double lat, double alt);

// True when (lon, lat) lies outside the box lon 73.66..135.05,
// lat 3.86..53.55 (bounds inside).  A NaN coordinate counts as outside.
GK_CORE_EXPORT bool out_of_china(double lon, double lat);
