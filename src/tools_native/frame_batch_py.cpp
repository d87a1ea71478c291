// geokern_tools._native: move_points() (see frame_batch_py.hpp).
#include "tools_native/frame_batch_py.hpp"

#include "ecef/local_frame.hpp"
#include "module/parallel.hpp"
#include "module/ref.hpp"
#include "module/result_array.hpp"
#include "module/view.hpp"
#include "tools_native/native_function.hpp"

namespace gk::tools {

namespace {

// Below this many points one thread moves them sooner than a team wakes.
constexpr Py_ssize_t kSerialRows = 4096;

// The frame's five rows: the rotation's three, then `from` and `to`.
bool frame_of(PyObject* obj, ecef::LocalFrame& frame) {
    ArrayView view;
    if (!ArrayView::acquire(obj, kConstDouble2D, view)) return false;
    if (view.is_none() || view.extent(0) != 5 || view.extent(1) != 3) {
        PyErr_SetString(PyExc_ValueError, "frame must have shape (5, 3)");
        return false;
    }
    const auto rows = view.rows<const double>();
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) frame.rotation[3 * i + j] = rows(i, j);
        frame.from[j] = rows(3, j);
        frame.to[j] = rows(4, j);
    }
    return true;
}

PyObject* move_points(Call& call) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return call.fail();
    if (!in.require_columns(3, "arr")) return call.fail();
    ecef::LocalFrame frame;
    if (!frame_of(call[1], frame)) return call.fail();
    const Py_ssize_t n = in.is_none() ? 0 : in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kDouble2D, result, out)) return call.fail();
    const auto src = in.rows<const double>();
    const auto dst = out.rows<double>();
    const bool done = parallel_rows(n, kSerialRows, [src, dst, &frame](Py_ssize_t i) {
        const double p[3] = {src(i, 0), src(i, 1), src(i, 2)};
        double moved[3];
        ecef::move_point(frame, p, moved);
        dst(i, 0) = moved[0];
        dst(i, 1) = moved[1];
        dst(i, 2) = moved[2];
    });
    if (!done) return call.fail();
    return result.release();
}

constexpr NativeFunction kMovePoints{FunctionSpec("move_points", {"arr", "frame"}, move_points),
                                     "geokern_tools._native.move_points"};

}  // namespace

PyMethodDef* frame_batch_methods() {
    static PyMethodDef methods[] = {
        method_def<kMovePoints>(
            "move_points($module, arr, frame)\n--\n\nR @ (row - frame[3]) + frame[4] for each "
            "(x, y, z) row of arr, R = frame[:3], in\nparallel; a new (N, 3) float64 array."),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace gk::tools
