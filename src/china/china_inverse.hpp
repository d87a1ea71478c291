// geokern china: iterative inverses of the GCJ-02 and BD-09 offsets.
//
// The module's own inverses (gcj02.hpp gcj02_unshift, bd09.hpp
// gcj02_from_bd09) take one step: they remove the offset found at the
// shifted position itself, which differs from the offset at the position
// sought by as much as the offset changes over its own length: up to a few
// metres for GCJ-02 (over a million random positions in the box: 0.64 m
// median, 3.1 m at the 99th percentile, 4.8 m at most).  The functions here
// solve forward(w) = g for w by the fixed-point iteration
//   w(0) = g,  w(k+1) = w(k) - (forward(w(k)) - g),
// whose first step is, up to rounding, the one-step inverse.  The forward maps are
// contractions near the identity (their offsets' derivatives stay below
// about 0.01), so every step gains two to three digits; the loop stops once
// a step moves the position by at most kStepTolerance degrees in both
// coordinates, or after kMaxSteps steps.  Round trips forward then back
// come within 1e-13 degrees (a few units in the last place) wherever the
// forward map is continuous.
//
// GCJ-02 near the China box edge.  The forward map shifts positions inside
// the box (core.hpp out_of_china) and leaves the others alone, so it jumps
// at the edge.  The iteration here evaluates the offset without the box
// test and is applied to every GCJ-02 position inside the box; positions
// outside the box come back unchanged, as from the one-step inverse.
// Within one offset (up to about 700 m) of the edge this gives:
//  - a WGS-84 position inside the box whose GCJ-02 position falls outside
//    it comes back as that GCJ-02 position (the shift is not undone);
//  - a GCJ-02 position inside the box that no WGS-84 position maps to (a
//    gap along the edge the shift moves away from) comes back as the
//    solution of the unboxed offset, a position just outside the box:
//    continuous with its neighbours, but not mapped back to it by the
//    forward conversion.
// NaN and infinite coordinates come back as the arithmetic gives them (a
// NaN position is outside the box, so unchanged).
#pragma once

#include "china/lonlat.hpp"

namespace gk::china {

// Steps of the iteration at most, and the step (degrees, about 0.1
// micrometre) below which it stops.
inline constexpr int kMaxSteps = 16;
inline constexpr double kStepTolerance = 1e-12;

// GCJ-02 (lon, lat) in degrees to WGS-84.
LonLat gcj02_to_wgs84_iterative(double lon, double lat) noexcept;

// BD-09 (lon, lat) in degrees to GCJ-02 (no box test, as the BD-09 step).
LonLat bd09_to_gcj02_iterative(double lon, double lat) noexcept;

// BD-09 to WGS-84: the two above in turn.
LonLat bd09_to_wgs84_iterative(double lon, double lat) noexcept;

}  // namespace gk::china
