// geokern china: the GCJ-02 offset model.
//
// GCJ-02 displaces positions inside mainland China by a smooth, non-linear
// offset of up to several hundred metres.  The offset starts from two raw
// values, each a low-order polynomial plus three sine groups in the
// distance (x, y) in degrees from the origin (105 E, 35 N).  The raw values
// are then scaled to degrees on the Krasovsky 1940 ellipsoid (a, e^2 from
// constants.hpp), with W = sqrt(1 - e^2 sin^2 lat):
//   dlat = raw_lat * 180 / (a (1 - e^2) / W^3 * pi)    (meridian radius)
//   dlon = raw_lon * 180 / (a / W * cos lat * pi)      (radius of the parallel)
// Source: no official description of GCJ-02 is published; the polynomial,
// its sine groups and every coefficient here are those of the formulation
// that circulates publicly and that GCJ-02 data are commonly converted
// with.  They are exact decimals of that formulation, not fitted here;
// tests/shared.py evaluates the same formulas plainly.
// The kernels apply the offset to any position; which positions are
// shifted at all (the China box) is the caller's decision.  NaN and
// infinities go through the arithmetic unchecked.
#pragma once

#include "china/lonlat.hpp"

namespace gk::china {

// The GCJ-02 position of the WGS-84 position (lon, lat), in degrees, into
// `out`.  Returns false, leaving `out` unchanged, when one of the two
// scaling divisors is exactly zero; no position that passes the China box
// test gets there.
bool gcj02_shift(double lon, double lat, LonLat& out) noexcept;

// The one-step inverse at the GCJ-02 position (lon, lat), given `shifted`,
// the forward shift found at that position itself: (2 lon - shifted.lon,
// 2 lat - shifted.lat), with 2 lon formed as lon + lon.  First order only.
inline LonLat gcj02_unshift(double lon, double lat, LonLat shifted) noexcept {
    return {(lon + lon) - shifted.lon, (lat + lat) - shifted.lat};
}

}  // namespace gk::china
