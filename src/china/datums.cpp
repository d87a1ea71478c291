// geokern china: the six China datum conversions on plain numbers (see
// datums.hpp).
#include "china/datums.hpp"

#include "china/bd09.hpp"
#include "china/gcj02.hpp"
#include "core/core.hpp"

#include <limits>

namespace gk::china {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

LonLat wgs84_to_gcj02(double lon, double lat) noexcept {
    if (out_of_china(lon, lat)) return {lon, lat};
    LonLat shifted;
    if (!gcj02_shift(lon, lat, shifted)) return {kNaN, kNaN};
    return shifted;
}

LonLat gcj02_to_wgs84(double lon, double lat) noexcept {
    if (out_of_china(lon, lat)) return {lon, lat};
    LonLat shifted;
    if (!gcj02_shift(lon, lat, shifted)) return {kNaN, kNaN};
    return gcj02_unshift(lon, lat, shifted);
}

LonLat wgs84_to_bd09(double lon, double lat) noexcept {
    const LonLat gcj = wgs84_to_gcj02(lon, lat);
    return bd09_from_gcj02(gcj.lon, gcj.lat);
}

LonLat bd09_to_wgs84(double lon, double lat) noexcept {
    const LonLat gcj = gcj02_from_bd09(lon, lat);
    return gcj02_to_wgs84(gcj.lon, gcj.lat);
}

LonLat gcj02_to_bd09(double lon, double lat) noexcept { return bd09_from_gcj02(lon, lat); }

LonLat bd09_to_gcj02(double lon, double lat) noexcept { return gcj02_from_bd09(lon, lat); }

}  // namespace gk::china
