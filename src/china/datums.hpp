// geokern china: the six China datum conversions on plain numbers, with the
// native China box test.
//
// Each gives, bit for bit, the pair that the module-level function of the
// same name (wgs84_to_gcj02_cy, ...) returns while `out_of_china_cpp` is
// the module's own box test: the same kernels (gcj02.hpp, bd09.hpp) in the
// same order.  The box test here is always out_of_china (core.hpp);
// rebinding the module attribute does not reach these functions.
//
//   wgs84 -> gcj02: inside the box the GCJ-02 shift, outside the input.
//   gcj02 -> wgs84: inside the box the one-step inverse, outside the input.
//   gcj02 <-> bd09: the BD-09 step, for every position.
//   wgs84 -> bd09: the GCJ-02 step, then the BD-09 step.
//   bd09 -> wgs84: the BD-09 inverse, then the GCJ-02 inverse, whose box
//                  test is made on the GCJ-02 position.
//
// The GCJ-02 shift can fail only on a zero scaling divisor, which no
// position inside the box reaches; such a position would come out as NaN
// here (the module-level functions raise ZeroDivisionError instead).
#pragma once

#include "china/lonlat.hpp"

namespace gk::china {

LonLat wgs84_to_gcj02(double lon, double lat) noexcept;
LonLat gcj02_to_wgs84(double lon, double lat) noexcept;
LonLat wgs84_to_bd09(double lon, double lat) noexcept;
LonLat bd09_to_wgs84(double lon, double lat) noexcept;
LonLat gcj02_to_bd09(double lon, double lat) noexcept;
LonLat bd09_to_gcj02(double lon, double lat) noexcept;

}  // namespace gk::china
