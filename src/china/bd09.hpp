// geokern china: the BD-09 offset, layered on GCJ-02.
//
// BD-09 perturbs the polar radius and angle of a GCJ-02 position about
// (0, 0), then shifts it by (0.0065, 0.006) degrees:
//   z = sqrt(lon^2 + lat^2) + 0.00002 sin(pi lat)
//   t = atan2(lat, lon)     + 0.000003 cos(pi lon)
//   bd = (z cos t + 0.0065, z sin t + 0.006)
// Source: as for GCJ-02, no official description is published; the radius
// and angle amplitudes (2e-5, 3e-6) and the shift (0.0065, 0.006) are those
// of the publicly circulating formulation.
// The inverse removes the shift and then the perturbations, evaluated at
// the BD-09 position itself, so a round trip returns within about 1e-7
// degrees.  The sine and cosine arguments are the coordinate times pi
// itself.  No box test and no range check: every position is shifted.
#pragma once

#include "china/lonlat.hpp"

namespace gk::china {

// GCJ-02 (lon, lat) in degrees to BD-09.
LonLat bd09_from_gcj02(double lon, double lat) noexcept;

// BD-09 (lon, lat) in degrees to GCJ-02.
LonLat gcj02_from_bd09(double lon, double lat) noexcept;

}  // namespace gk::china
