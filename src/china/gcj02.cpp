// geokern china: the GCJ-02 offset model (see gcj02.hpp).
//
// Constant factors of the sine arguments are folded (pi/3, pi/12, ...);
// this moves results by no more than a few units in the last place of the
// raw offsets, far below the last place of the shifted degrees.
#include "china/gcj02.hpp"

#include "core/constants.hpp"

#include <cmath>

namespace gk::china {

namespace {

constexpr double kOriginLon = 105.0;
constexpr double kOriginLat = 35.0;
constexpr double kTwoThirds = 0.6666666666666666;  // weight of every sine group

// 2/3 * (k1 sin(t1) + k2 sin(t2))
double sine_group(double k1, double t1, double k2, double t2) noexcept {
    return kTwoThirds * (k1 * std::sin(t1) + k2 * std::sin(t2));
}

}  // namespace

RawOffset gcj02_raw_offset(double x, double y) noexcept {
    const double root = std::sqrt(std::fabs(x));
    const double shared = sine_group(20.0, x * (6.0 * kPi), 20.0, x * (2.0 * kPi));
    double lat = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * root;
    lat += shared;
    lat += sine_group(20.0, y * kPi, 40.0, y * (kPi / 3.0));
    lat += sine_group(160.0, y * (kPi / 12.0), 320.0, y * (kPi / 30.0));
    double lon = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * root;
    lon += shared;
    lon += sine_group(20.0, x * kPi, 40.0, x * (kPi / 3.0));
    lon += sine_group(150.0, x * (kPi / 12.0), 300.0, x * (kPi / 30.0));
    return {lon, lat};
}

bool gcj02_shift(double lon, double lat, LonLat& out) noexcept {
    const RawOffset raw = gcj02_raw_offset(lon - kOriginLon, lat - kOriginLat);
    const double radlat = lat / 180.0 * kPi;
    double sin_lat, cos_lat;
    ::sincos(radlat, &sin_lat, &cos_lat);
    const double magic = 1.0 - kKrasovskyE2 * sin_lat * sin_lat;  // W^2
    const double sqrtmagic = std::sqrt(magic);                    // W
    // W^2 >= 1 - e^2 for every finite latitude, and cos of a double is never
    // exactly zero, so these divisors vanish only in theory; the tests are
    // kept to make a zero divisor an error rather than an infinity.
    const double w3 = magic * sqrtmagic;
    if (w3 == 0.0) return false;
    const double lat_divisor = kKrasovskyA * (1.0 - kKrasovskyE2) / w3 * kPi;
    if (lat_divisor == 0.0 || sqrtmagic == 0.0) return false;
    const double lon_divisor = kKrasovskyA / sqrtmagic * cos_lat * kPi;
    if (lon_divisor == 0.0) return false;
    out.lon = lon + raw.lon * 180.0 / lon_divisor;
    out.lat = lat + raw.lat * 180.0 / lat_divisor;
    return true;
}

}  // namespace gk::china
