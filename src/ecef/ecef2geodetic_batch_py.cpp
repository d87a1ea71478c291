// geokern ecef: ECEF-to-geodetic batches (see ecef2geodetic_batch_py.hpp).
#include "ecef/ecef2geodetic_batch_py.hpp"

#include "ecef/ecef_rows.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/numpy_api.hpp"
#include "module/numpy_calls.hpp"
#include "module/result_array.hpp"
#include "module/row_batch.hpp"
#include "module/vector_path.hpp"

namespace gk {

namespace {

// Converts the rows of np.dot(pos_obj, transform_obj) into a new (N, 2) or,
// with heights, (N, 3) array.  New reference, or nullptr with the exception
// set (the caller adds its traceback entry).
PyObject* convert_product(PyObject* pos_obj, PyObject* transform_obj, bool heights) {
    PyRef product(np_call("dot", {pos_obj, transform_obj}));
    if (!product) return nullptr;
    if (!PyArray_Check(product.get())) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                     Py_TYPE(product.get())->tp_name, PyArray_Type.tp_name);
        return nullptr;
    }
    ArrayView pos;
    if (!ArrayView::acquire(product.get(), kFloat64Array2D, pos)) return nullptr;
    if (!pos.require_columns(3, "the product of pos_array and transform")) return nullptr;
    const Py_ssize_t n = pos.extent(0);
    const Py_ssize_t columns = heights ? 3 : 2;
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, columns}, "float64", kFloat64Array2D, result, out)) return nullptr;
    const auto& kernels = chosen_table(ecef::avx2::kRowKernels, ecef::avx512::kRowKernels);
    if (!convert_rows(n, heights ? kernels.ecef_to_geodetic_heights : kernels.ecef_to_geodetic,
                      pos.rows<const double>(), out.rows<double>())) {
        return nullptr;
    }
    return result.release();
}

// The default transform of one function: a 4 x 4 identity made by np.eye(4)
// when the function object is created, shared by every call that omits the
// argument.  Python code sees it through __defaults__ as a read-only view,
// so no caller can change another call's default.
struct DefaultTransform {
    ArrayView* view = nullptr;  // kept for the life of the process

    PyObject* make_defaults() {
        PyRef four(PyLong_FromLong(4));
        if (!four) return nullptr;
        PyRef eye(np_call("eye", {four.get()}));
        if (!eye) return nullptr;
        ArrayView acquired;
        if (!ArrayView::acquire(eye.get(), kFloat64T2D, acquired)) return nullptr;
        acquired.export_read_only();
        PyObject* defaults = PyTuple_Pack(2, acquired.slice().memview, Py_False);
        if (!defaults) return nullptr;
        // Never freed: function objects and their defaults live as long as
        // the process, and a view dropped after the interpreter is gone
        // could not release its object.
        view = new ArrayView(std::move(acquired));
        return defaults;
    }

    // The transform argument as a view: the kept default when `obj` is its
    // view object, else `obj` converted.
    bool take(PyObject* obj, ArrayView& out) const {
        if (view && obj == view->slice().memview) {
            out = *view;
            return true;
        }
        return ArrayView::acquire(obj, kFloat64T2D, out);
    }
};

DefaultTransform nparray_default, np_default;

PyObject* nparray_entry(Call& call, const DefaultTransform& default_transform) {
    ArrayView pos, transform;
    if (!ArrayView::acquire(call[0], kFloat64T2D, pos)) return call.fail();
    if (!default_transform.take(call[1], transform)) return call.fail();
    const int return_z = to_truth(call[2]);
    if (return_z < 0) return call.fail();
    return call.result(ecef2geodetic_nparray_cython(pos.slice(), transform.slice(), return_z));
}

}  // namespace

PyObject* ecef2geodetic_list_cython(PyObject* pos_array, ArrayViewSlice transform) {
    static constexpr TraceEntry kTrace{"geokern.ecef2geodetic_list_cython"};
    return kTrace(convert_product(pos_array, transform.memview, false));
}

PyObject* ecef2geodetic_nparray_cython(ArrayViewSlice pos_array, ArrayViewSlice transform,
                                       bool return_z) {
    static constexpr TraceEntry kTrace{"geokern.ecef2geodetic_nparray_cython"};
    return kTrace(convert_product(pos_array.memview, transform.memview, return_z));
}

PyObject* ecef2geodetic_list_cy(Call& call) {
    if (!check_arg_type(call[0], &PyList_Type, true, "pos_array", true)) return call.fail();
    ArrayView transform;
    if (!ArrayView::acquire(call[1], kFloat64T2D, transform)) return call.fail();
    return call.result(ecef2geodetic_list_cython(call[0], transform.slice()));
}

PyObject* ecef2geodetic_nparray_cy(Call& call) { return nparray_entry(call, nparray_default); }

PyObject* ecef2geodetic_np_cy(Call& call) { return nparray_entry(call, np_default); }

PyObject* ecef2geodetic_nparray_cy_defaults() { return nparray_default.make_defaults(); }

PyObject* ecef2geodetic_np_cy_defaults() { return np_default.make_defaults(); }

}  // namespace gk
