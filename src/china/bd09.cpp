// geokern china: the BD-09 offset (see bd09.hpp).
#include "china/bd09.hpp"

#include "core/constants.hpp"

#include <cmath>

namespace gk::china {

namespace {

constexpr double kShiftLon = 0.0065;
constexpr double kShiftLat = 0.006;
constexpr double kRadiusAmplitude = 0.00002;
constexpr double kAngleAmplitude = 0.000003;

}  // namespace

LonLat bd09_from_gcj02(double lon, double lat) noexcept {
    const double z = std::sqrt(lon * lon + lat * lat) + kRadiusAmplitude * std::sin(lat * kPi);
    const double theta = std::atan2(lat, lon) + kAngleAmplitude * std::cos(lon * kPi);
    double sin_t, cos_t;
    ::sincos(theta, &sin_t, &cos_t);
    return {z * cos_t + kShiftLon, z * sin_t + kShiftLat};
}

LonLat gcj02_from_bd09(double lon, double lat) noexcept {
    const double x = lon - kShiftLon;
    const double y = lat - kShiftLat;
    const double z = std::sqrt(x * x + y * y) - kRadiusAmplitude * std::sin(y * kPi);
    const double theta = std::atan2(y, x) - kAngleAmplitude * std::cos(x * kPi);
    double sin_t, cos_t;
    ::sincos(theta, &sin_t, &cos_t);
    return {z * cos_t, z * sin_t};
}

}  // namespace gk::china
