// geokern_tools._native: batches of the six China datum conversions (see
// china_batch_py.hpp).
#include "tools_native/china_batch_py.hpp"

#include "china/china_inverse.hpp"
#include "china/datums.hpp"
#include "module/parallel.hpp"
#include "module/ref.hpp"
#include "module/result_array.hpp"
#include "module/view.hpp"
#include "tools_native/native_function.hpp"

namespace gk::tools {

namespace {

using Conversion = china::LonLat (*)(double, double) noexcept;

// Rows below which a batch runs on the calling thread, where it is faster
// than waking the team (a row costs some 60 ns).
constexpr Py_ssize_t kSerialRows = 256;

// The result view: a new (n, 2) array for None, else `out` checked to have
// n rows and two columns at least.  `array` gets the object to return.
bool result_view(PyObject* out, Py_ssize_t n, PyRef& array, ArrayView& view) {
    if (out == Py_None) return new_result("empty", {n, 2}, "float64", kDouble2D, array, view);
    if (!ArrayView::acquire(out, kDouble2D, view)) return false;
    if (view.is_none() || view.extent(0) != n) {
        PyErr_Format(PyExc_ValueError, "out must have %zd rows, got %zd", n,
                     view.is_none() ? Py_ssize_t{0} : view.extent(0));
        return false;
    }
    if (!view.require_columns(2, "out")) return false;
    array = PyRef(Py_NewRef(out));
    return true;
}

template <Conversion Convert>
PyObject* china_batch(Call& call) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return call.fail();
    if (!in.require_columns(2, "arr")) return call.fail();
    const Py_ssize_t n = in.is_none() ? 0 : in.extent(0);
    PyRef result;
    ArrayView out;
    if (!result_view(call[1], n, result, out)) return call.fail();
    const auto src = in.rows<const double>();
    const auto dst = out.rows<double>();
    // Ctrl-C stops the loop: a given `out` may then be partly written.
    const bool done = parallel_rows(n, kSerialRows, [src, dst](Py_ssize_t i) {
        // Both inputs are read before anything is written: `out` may be `arr`.
        const double lon = src(i, 0);
        const double lat = src(i, 1);
        const china::LonLat p = Convert(lon, lat);
        dst(i, 0) = p.lon;
        dst(i, 1) = p.lat;
    });
    if (!done) return call.fail();
    return result.release();
}

PyObject* no_out() { return PyTuple_Pack(1, Py_None); }

#define GK_CHINA_BATCH(stem)                                                               \
    constexpr NativeFunction k_##stem {                                                    \
        FunctionSpec(#stem, {"arr", "out"}, china_batch<china::stem>).defaults(1, no_out), \
            "geokern_tools._native." #stem                                                 \
    }

GK_CHINA_BATCH(wgs84_to_gcj02);
GK_CHINA_BATCH(gcj02_to_wgs84);
GK_CHINA_BATCH(wgs84_to_bd09);
GK_CHINA_BATCH(bd09_to_wgs84);
GK_CHINA_BATCH(gcj02_to_bd09);
GK_CHINA_BATCH(bd09_to_gcj02);
GK_CHINA_BATCH(gcj02_to_wgs84_iterative);
GK_CHINA_BATCH(bd09_to_gcj02_iterative);
GK_CHINA_BATCH(bd09_to_wgs84_iterative);

#undef GK_CHINA_BATCH

#define GK_DOC(stem, text)                                                        \
    #stem "($module, arr, out=None)\n--\n\n" text                                 \
          " (lon, lat) rows of arr, in degrees, in parallel; the result is out\n" \
          "or a new (N, 2) float64 array."

}  // namespace

PyMethodDef* china_batch_methods() {
    // Made at the first call, not when the library is loaded: no code of
    // the library may run before the entry point's processor check.
    static PyMethodDef methods[] = {
        method_def<k_wgs84_to_gcj02>(GK_DOC(wgs84_to_gcj02, "WGS-84 to GCJ-02:")),
        method_def<k_gcj02_to_wgs84>(GK_DOC(gcj02_to_wgs84, "GCJ-02 to WGS-84 (one step):")),
        method_def<k_wgs84_to_bd09>(GK_DOC(wgs84_to_bd09, "WGS-84 to BD-09:")),
        method_def<k_bd09_to_wgs84>(GK_DOC(bd09_to_wgs84, "BD-09 to WGS-84 (one step):")),
        method_def<k_gcj02_to_bd09>(GK_DOC(gcj02_to_bd09, "GCJ-02 to BD-09:")),
        method_def<k_bd09_to_gcj02>(GK_DOC(bd09_to_gcj02, "BD-09 to GCJ-02:")),
        method_def<k_gcj02_to_wgs84_iterative>(
            GK_DOC(gcj02_to_wgs84_iterative, "GCJ-02 to WGS-84 (iterated to 1e-12 degrees):")),
        method_def<k_bd09_to_gcj02_iterative>(
            GK_DOC(bd09_to_gcj02_iterative, "BD-09 to GCJ-02 (iterated to 1e-12 degrees):")),
        method_def<k_bd09_to_wgs84_iterative>(
            GK_DOC(bd09_to_wgs84_iterative, "BD-09 to WGS-84 (iterated to 1e-12 degrees):")),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

#undef GK_DOC

}  // namespace gk::tools
