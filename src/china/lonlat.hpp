// geokern china: a position of the China datum conversions.
#pragma once

namespace gk::china {

// Longitude then latitude, in degrees.
struct LonLat {
    double lon;
    double lat;
};

}  // namespace gk::china
