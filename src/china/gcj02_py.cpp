// geokern china: the GCJ-02 conversions as native exports and module-level
// functions (see gcj02_py.hpp).
#include "china/gcj02_py.hpp"

#include "china/gcj02.hpp"
#include "core/core.hpp"
#include "core/core_py.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"
#include "module/scalar_body.hpp"
#include "module/state.hpp"
#include "module/values.hpp"

namespace gk {

namespace {

Name out_of_china_name("out_of_china_cpp");

// The box test as the name `out_of_china_cpp` decides it now: 1 outside,
// 0 inside, -1 with an exception set.
int outside_china(double lon, double lat) {
    PyRef test(lookup_global(out_of_china_name));
    if (!test) return -1;
    if (runs_body(test.get(), out_of_china_cpp)) return out_of_china(lon, lat);
    PyRef py_lon(PyFloat_FromDouble(lon));
    if (!py_lon) return -1;
    PyRef py_lat(PyFloat_FromDouble(lat));
    if (!py_lat) return -1;
    PyObject* args[] = {py_lon.get(), py_lat.get()};
    PyRef verdict(PyObject_Vectorcall(test.get(), args, 2, nullptr));
    if (!verdict) return -1;
    return PyObject_IsTrue(verdict.get());
}

struct Forward {
    china::LonLat position;  // the input outside China, shifted inside
    bool shifted;
};

constexpr TraceEntry kForwardTrace{"geokern._gcj02_and_wgs84"};
constexpr TraceEntry kToGcj02Trace{"geokern.wgs84_to_gcj02"};

// The forward conversion (_gcj02_and_wgs84) in numbers.
bool gcj02_and_wgs84(double lon, double lat, Forward& out) {
    const int outside = outside_china(lon, lat);
    if (outside < 0) {
        kForwardTrace.add();
        return false;
    }
    out = {{lon, lat}, outside == 0};
    if (out.shifted && !china::gcj02_shift(lon, lat, out.position)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division");
        kForwardTrace.add();
        return false;
    }
    return true;
}

}  // namespace

bool wgs84_to_gcj02_values(double lon, double lat, china::LonLat& out) {
    Forward forward;
    if (!gcj02_and_wgs84(lon, lat, forward)) {
        kToGcj02Trace.add();
        return false;
    }
    out = forward.position;
    return true;
}

PyObject* wgs84_to_gcj02(const double lon, const double lat) {
    Forward forward;
    if (!gcj02_and_wgs84(lon, lat, forward)) return kToGcj02Trace.fail();
    const auto [glon, glat] = forward.position;
    return kToGcj02Trace(forward.shifted ? float_tuple({glon, glat}) : float_list({glon, glat}));
}

PyObject* gcj02_to_wgs84(const double lon, const double lat) {
    static constexpr TraceEntry kTrace{"geokern.gcj02_to_wgs84"};
    Forward forward;
    if (!gcj02_and_wgs84(lon, lat, forward)) return kTrace.fail();
    // Outside China the forward step is the identity, and so is its
    // inverse: the input comes back as it is (lon + lon - lon would turn
    // an infinity into NaN and overflow beyond half the largest double).
    const china::LonLat wgs = forward.shifted ? china::gcj02_unshift(lon, lat, forward.position)
                                              : china::LonLat{lon, lat};
    return kTrace(float_list({wgs.lon, wgs.lat}));
}

PyObject* wgs84_to_gcj02_cy(Call& call) { return scalar_body<wgs84_to_gcj02>(call); }

PyObject* gcj02_to_wgs84_cy(Call& call) { return scalar_body<gcj02_to_wgs84>(call); }

}  // namespace gk
