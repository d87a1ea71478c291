// geokern china: the BD-09 conversions as native exports and module-level
// functions (see bd09_py.hpp).
#include "china/bd09_py.hpp"

#include "china/bd09.hpp"
#include "china/gcj02_py.hpp"
#include "module/errors.hpp"
#include "module/scalar_body.hpp"
#include "module/values.hpp"

namespace gk {

PyObject* gcj02_to_bd09(const double lon, const double lat) {
    static constexpr TraceEntry kTrace{"geokern.gcj02_to_bd09"};
    const china::LonLat bd = china::bd09_from_gcj02(lon, lat);
    return kTrace(float_list({bd.lon, bd.lat}));
}

PyObject* bd09_to_gcj02(const double lon, const double lat) {
    static constexpr TraceEntry kTrace{"geokern.bd09_to_gcj02"};
    const china::LonLat gcj = china::gcj02_from_bd09(lon, lat);
    return kTrace(float_list({gcj.lon, gcj.lat}));
}

PyObject* wgs84_to_bd09(const double lon, const double lat) {
    static constexpr TraceEntry kTrace{"geokern.wgs84_to_bd09"};
    china::LonLat gcj;
    if (!wgs84_to_gcj02_values(lon, lat, gcj)) return kTrace.fail();
    return kTrace(gcj02_to_bd09(gcj.lon, gcj.lat));
}

PyObject* bd09_to_wgs84(const double lon, const double lat) {
    static constexpr TraceEntry kTrace{"geokern.bd09_to_wgs84"};
    // The China test of the GCJ-02 step is made on the GCJ-02 position.
    const china::LonLat gcj = china::gcj02_from_bd09(lon, lat);
    return kTrace(gcj02_to_wgs84(gcj.lon, gcj.lat));
}

PyObject* gcj02_to_bd09_cy(Call& call) { return scalar_body<gcj02_to_bd09>(call); }

PyObject* bd09_to_gcj02_cy(Call& call) { return scalar_body<bd09_to_gcj02>(call); }

PyObject* wgs84_to_bd09_cy(Call& call) { return scalar_body<wgs84_to_bd09>(call); }

PyObject* bd09_to_wgs84_cy(Call& call) { return scalar_body<bd09_to_wgs84>(call); }

}  // namespace gk
