// geokern obb: the 2-D oriented bounding box of points, as WKT (see
// obb_py.hpp).
//
//   cov       = np.cov(points, y=None, rowvar=0, bias=1)
//   transform = np.transpose(np.linalg.eig(cov)[1])   # eigenvectors as rows
//   rotated   = np.dot(points, np.linalg.inv(transform))
//   lower, upper = np.min(rotated, axis=0), np.max(rotated, axis=0)
//   half = (upper - lower) * 0.5;  centre = lower + half
//   corners = np.dot(np.array([centre + [-half[0], -half[1]], ...]), transform)
// The ring runs (-,-), (+,-), (+,+), (-,+), (-,-) in the eigenvector frame;
// each coordinate is written as format(value, ""), Python's shortest
// round-trip text.
#include "obb/obb_py.hpp"

#include "module/errors.hpp"
#include "module/numpy_calls.hpp"
#include "module/ref.hpp"
#include "module/slice_body.hpp"
#include "module/view_object.hpp"

#include <utility>

namespace gk {

namespace {

constexpr TraceEntry kTrace{"geokern.generate_obb_2d_from_points_cython"};

// Signs of the half extents at the five ring positions.
constexpr int kRing[5][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}, {-1, -1}};

// half[axis], negated when `sign` is negative.
PyObject* signed_half(PyObject* half, Py_ssize_t axis, int sign) {
    PyRef value(PySequence_GetItem(half, axis));
    if (!value || sign > 0) return value.release();
    return PyNumber_Negative(value.get());
}

// np.array([centre + [+-half[0], +-half[1]] for each ring position]).
PyObject* ring_corners(PyObject* centre, PyObject* half) {
    PyRef rows(PyList_New(5));
    if (!rows) return nullptr;
    for (Py_ssize_t k = 0; k < 5; ++k) {
        PyRef h0(signed_half(half, 0, kRing[k][0]));
        if (!h0) return nullptr;
        PyRef h1(signed_half(half, 1, kRing[k][1]));
        if (!h1) return nullptr;
        PyRef offset(PyList_New(2));
        if (!offset) return nullptr;
        PyList_SET_ITEM(offset.get(), 0, h0.release());
        PyList_SET_ITEM(offset.get(), 1, h1.release());
        PyObject* row = PyNumber_Add(centre, offset.get());
        if (!row) return nullptr;
        PyList_SET_ITEM(rows.get(), k, row);
    }
    return np_call("array", {rows.get()});
}

// Owns a PyUnicodeWriter until it is finished.
class TextWriter {
public:
    TextWriter() : writer_(PyUnicodeWriter_Create(0)) {}
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter() {
        if (writer_) PyUnicodeWriter_Discard(writer_);
    }
    explicit operator bool() const { return writer_ != nullptr; }
    bool text(const char* utf8) { return PyUnicodeWriter_WriteUTF8(writer_, utf8, -1) == 0; }
    // format(value, "")
    bool formatted(PyObject* value) {
        PyRef text(PyObject_Format(value, nullptr));
        return text && PyUnicodeWriter_WriteStr(writer_, text.get()) == 0;
    }
    PyObject* finish() { return PyUnicodeWriter_Finish(std::exchange(writer_, nullptr)); }

private:
    PyUnicodeWriter* writer_;
};

// "POLYGON((x y,x y,x y,x y,x y))" from the five rows of `corners`.
PyObject* polygon_text(PyObject* corners) {
    TextWriter out;
    if (!out || !out.text("POLYGON((")) return nullptr;
    for (Py_ssize_t k = 0; k < 5; ++k) {
        PyRef row(PySequence_GetItem(corners, k));
        if (!row) return nullptr;
        PyRef x(PySequence_GetItem(row.get(), 0));
        if (!x) return nullptr;
        PyRef y(PySequence_GetItem(row.get(), 1));
        if (!y) return nullptr;
        if ((k > 0 && !out.text(",")) || !out.formatted(x.get()) || !out.text(" ") ||
            !out.formatted(y.get())) {
            return nullptr;
        }
    }
    if (!out.text("))")) return nullptr;
    return out.finish();
}

}  // namespace

PyObject* generate_obb_2d_from_points_cython(ArrayViewSlice pos_array) {
    PyRef points(slice_object(pos_array, kDouble2D));
    if (!points) return kTrace.fail();
    PyRef zero(PyLong_FromLong(0)), one(PyLong_FromLong(1)), a_half(PyFloat_FromDouble(0.5));
    if (!zero || !one || !a_half) return kTrace.fail();

    PyRef cov(np_call("cov", {points.get()},
                      {{"y", Py_None}, {"rowvar", zero.get()}, {"bias", one.get()}}));
    if (!cov) return kTrace.fail();
    PyRef eig(np_call("linalg.eig", {cov.get()}));
    if (!eig) return kTrace.fail();
    PyRef vectors(PyObject_GetItem(eig.get(), one.get()));
    if (!vectors) return kTrace.fail();
    PyRef transform(np_call("transpose", {vectors.get()}));
    if (!transform) return kTrace.fail();
    PyRef inverse(np_call("linalg.inv", {transform.get()}));
    if (!inverse) return kTrace.fail();
    PyRef rotated(np_call("dot", {points.get(), inverse.get()}));
    if (!rotated) return kTrace.fail();
    PyRef lower(np_call("min", {rotated.get()}, {{"axis", zero.get()}}));
    if (!lower) return kTrace.fail();
    PyRef upper(np_call("max", {rotated.get()}, {{"axis", zero.get()}}));
    if (!upper) return kTrace.fail();

    PyRef extent(PyNumber_Subtract(upper.get(), lower.get()));
    if (!extent) return kTrace.fail();
    PyRef half(PyNumber_Multiply(extent.get(), a_half.get()));
    if (!half) return kTrace.fail();
    PyRef centre(PyNumber_Add(lower.get(), half.get()));
    if (!centre) return kTrace.fail();
    PyRef ring(ring_corners(centre.get(), half.get()));
    if (!ring) return kTrace.fail();
    PyRef corners(np_call("dot", {ring.get(), transform.get()}));
    if (!corners) return kTrace.fail();
    PyObject* text = polygon_text(corners.get());
    if (!text) return kTrace.fail();
    return text;
}

PyObject* generate_obb_2d_from_points(Call& call) {
    return slice_body<kDouble2D, generate_obb_2d_from_points_cython>(call);
}

}  // namespace gk
