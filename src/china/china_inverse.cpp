// geokern china: iterative inverses of the GCJ-02 and BD-09 offsets (see
// china_inverse.hpp).
#include "china/china_inverse.hpp"

#include "china/bd09.hpp"
#include "china/gcj02.hpp"
#include "core/core.hpp"

#include <cmath>
#include <limits>

namespace gk::china {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Solves forward(w) = target by w <- w - (forward(w) - target) from `start`.
// `forward` returns false where it cannot evaluate (the result is then NaN).
// A NaN step ends the loop: `!(x > tol)` holds for NaN.
template <class Forward>
LonLat solve(LonLat target, LonLat start, Forward forward) noexcept {
    LonLat w = start;
    for (int k = 0; k < kMaxSteps; ++k) {
        LonLat f;
        if (!forward(w, f)) return {kNaN, kNaN};
        const double dlon = f.lon - target.lon;
        const double dlat = f.lat - target.lat;
        w = {w.lon - dlon, w.lat - dlat};
        if (!(std::fabs(dlon) > kStepTolerance) && !(std::fabs(dlat) > kStepTolerance)) break;
    }
    return w;
}

}  // namespace

LonLat gcj02_to_wgs84_iterative(double lon, double lat) noexcept {
    if (out_of_china(lon, lat)) return {lon, lat};
    return solve({lon, lat}, {lon, lat},
                 [](LonLat w, LonLat& f) { return gcj02_shift(w.lon, w.lat, f); });
}

LonLat bd09_to_gcj02_iterative(double lon, double lat) noexcept {
    // Started from the one-step inverse, which is already within about
    // 1e-7 degrees.
    return solve({lon, lat}, gcj02_from_bd09(lon, lat), [](LonLat w, LonLat& f) {
        f = bd09_from_gcj02(w.lon, w.lat);
        return true;
    });
}

LonLat bd09_to_wgs84_iterative(double lon, double lat) noexcept {
    const LonLat gcj = bd09_to_gcj02_iterative(lon, lat);
    return gcj02_to_wgs84_iterative(gcj.lon, gcj.lat);
}

}  // namespace gk::china
