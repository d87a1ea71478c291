// geokern module layer: result arrays (see result_array.hpp).
#include "module/result_array.hpp"

#include "core/huge_pages.hpp"
#include "module/numpy_calls.hpp"
#include "module/values.hpp"

#include <utility>

namespace gk {

PyObject* new_array(const char* constructor, std::initializer_list<Py_ssize_t> shape,
                    const char* dtype) {
    PyRef dims(tuple_of(shape, PyLong_FromSsize_t));
    if (!dims) return nullptr;
    return np_call(constructor, {dims.get()}, Dtype{dtype});
}

void populate_result(const ArrayView& view, const ViewKind& kind, PagesAtOnce which) {
    const ArrayViewSlice& slice = view.slice();
    Py_ssize_t bytes = kind.itemsize;
    for (int d = kind.ndim - 1; d >= 0; --d) {
        if (slice.strides[d] != bytes) return;
        bytes *= slice.shape[d];
    }
    if (which == PagesAtOnce::all) {
        populate_for_writing(slice.data, static_cast<std::size_t>(bytes));
    } else {
        populate_small_pages(slice.data, static_cast<std::size_t>(bytes), kNumpyHugePagesFrom);
    }
}

bool new_result(const char* constructor, std::initializer_list<Py_ssize_t> shape, const char* dtype,
                const ViewKind& kind, PyRef& array, ArrayView& view) {
    PyRef made(new_array(constructor, shape, dtype));
    if (!made || !ArrayView::acquire(made.get(), kind, view)) return false;
    int d = 0;
    for (Py_ssize_t extent : shape) {
        if (view.is_none() || view.extent(d++) != extent) {
            PyErr_Format(PyExc_ValueError, "np.%s() made a result array of the wrong shape",
                         constructor);
            view = ArrayView();
            return false;
        }
    }
    populate_result(view, kind, PagesAtOnce::outside_huge_pages);
    array = std::move(made);
    return true;
}

}  // namespace gk
