// geokern china: the BD-09 conversions as native exports and module-level
// functions (see bd09_py.hpp).
#include "china/bd09_py.hpp"

#include "china/bd09.hpp"
#include "china/gcj02_py.hpp"
#include "module/errors.hpp"
#include "module/values.hpp"

namespace gk {

PyObject* gcj02_to_bd09(const double lon, const double lat) {
    const china::LonLat bd = china::bd09_from_gcj02(lon, lat);
    PyObject* result = float_list({bd.lon, bd.lat});
    if (!result) return GK_TRACE("geokern.gcj02_to_bd09");
    return result;
}

PyObject* bd09_to_gcj02(const double lon, const double lat) {
    const china::LonLat gcj = china::gcj02_from_bd09(lon, lat);
    PyObject* result = float_list({gcj.lon, gcj.lat});
    if (!result) return GK_TRACE("geokern.bd09_to_gcj02");
    return result;
}

PyObject* wgs84_to_bd09(const double lon, const double lat) {
    china::LonLat gcj;
    if (!wgs84_to_gcj02_values(lon, lat, gcj)) return GK_TRACE("geokern.wgs84_to_bd09");
    PyObject* result = gcj02_to_bd09(gcj.lon, gcj.lat);
    if (!result) return GK_TRACE("geokern.wgs84_to_bd09");
    return result;
}

PyObject* bd09_to_wgs84(const double lon, const double lat) {
    // The China test of the GCJ-02 step is made on the GCJ-02 position.
    const china::LonLat gcj = china::gcj02_from_bd09(lon, lat);
    PyObject* result = gcj02_to_wgs84(gcj.lon, gcj.lat);
    if (!result) return GK_TRACE("geokern.bd09_to_wgs84");
    return result;
}

}  // namespace gk
