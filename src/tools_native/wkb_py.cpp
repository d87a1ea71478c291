// geokern_tools._native: a column of WKB geometries (see wkb_py.hpp).
#include "tools_native/wkb_py.hpp"

#include "module/parallel.hpp"
#include "module/ref.hpp"
#include "module/result_array.hpp"
#include "tools_native/native_function.hpp"
#include "tools_native/wkb.hpp"

#include <cstring>
#include <new>
#include <vector>

namespace gk::tools {

namespace {

// Below this many geometries a walk is cheaper than waking the thread team.
constexpr Py_ssize_t kSerialRows = 1024;

// Each vector resized to `size` zeros; false with a MemoryError set when
// memory runs out.
template <class... Vectors>
bool zeroed(std::size_t size, Vectors&... vectors) {
    try {
        (vectors.assign(size, 0), ...);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// One acquired buffer, released on every path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The element code of a buffer format, without its byte-order prefix.
char format_code(const Py_buffer& b) {
    const char* f = b.format ? b.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    return f[0] != '\0' && f[1] == '\0' ? f[0] : '\0';
}

// A one-dimensional C-contiguous buffer of `count` items (-1: any number)
// of one of `codes`, each `itemsize` bytes.
bool acquire_1d(PyObject* obj, const char* name, const char* codes, Py_ssize_t itemsize,
                Py_ssize_t count, int flags, Buffer& out) {
    if (!out.acquire(obj, flags | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& b = out.view();
    const char code = format_code(b);
    if (b.ndim != 1 || b.itemsize != itemsize || code == '\0' || !std::strchr(codes, code)) {
        PyErr_Format(PyExc_ValueError, "%s must be a one-dimensional array of %zd-byte items", name,
                     itemsize);
        return false;
    }
    if (count >= 0 && b.shape[0] != count) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd items, got %zd", name, count, b.shape[0]);
        return false;
    }
    return true;
}

// A C-contiguous float64 buffer of shape (rows, 3); rows -1: any number.
bool acquire_triples(PyObject* obj, Py_ssize_t rows, int flags, Buffer& out) {
    if (!out.acquire(obj, flags | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& b = out.view();
    if (b.ndim != 2 || b.itemsize != 8 || format_code(b) != 'd' || b.shape[1] != 3) {
        PyErr_SetString(PyExc_ValueError,
                        "xyz must be a C-contiguous float64 array of shape (M, 3)");
        return false;
    }
    if (rows >= 0 && b.shape[0] != rows) {
        PyErr_Format(PyExc_ValueError, "xyz must have %zd rows, one per coordinate, got %zd", rows,
                     b.shape[0]);
        return false;
    }
    return true;
}

// The column arguments: data, offsets (n + 1 int64) and valid (None or n
// flags).
struct Column {
    Buffer data, offsets, valid;
    Py_ssize_t n = 0;
    bool has_valid = false;

    bool acquire(PyObject* data_obj, PyObject* offsets_obj, PyObject* valid_obj) {
        if (!data.acquire(data_obj, PyBUF_SIMPLE)) return false;
        if (!acquire_1d(offsets_obj, "offsets", "lq", 8, -1, 0, offsets)) return false;
        n = offsets.view().shape[0] - 1;
        if (n < 0) {
            PyErr_SetString(PyExc_ValueError, "offsets must have at least one item");
            return false;
        }
        has_valid = valid_obj != Py_None;
        return !has_valid || acquire_1d(valid_obj, "valid", "?Bb", 1, n, 0, valid);
    }

    // Row i's blob, read from the arguments once; false when it is missing.
    // `bad` is set when its offsets lie outside the data.
    bool blob(Py_ssize_t i, wkb::Blob& out, bool& bad) const {
        bad = false;
        if (has_valid && valid.data<const uint8_t>()[i] == 0) return false;
        const int64_t* o = offsets.data<const int64_t>();
        const int64_t begin = o[i], end = o[i + 1];
        const int64_t size = data.view().len;
        if (!(0 <= begin && begin <= end && end <= size)) {
            bad = true;
            return false;
        }
        out = {data.data<const uint8_t>() + begin, static_cast<std::size_t>(end - begin)};
        return true;
    }
};

// Status of a row beyond those of wkb::Status.
constexpr uint8_t kBadOffsets = 0xff;

// Raises ValueError for the first row whose status is not kOk; false then.
bool check_rows(const std::vector<uint8_t>& status) {
    for (std::size_t i = 0; i < status.size(); ++i) {
        if (status[i] == 0) continue;
        const char* reason = status[i] == kBadOffsets
                                 ? "offsets outside the data"
                                 : wkb::describe(static_cast<wkb::Status>(status[i]));
        PyErr_Format(PyExc_ValueError, "row %zd: %s", static_cast<Py_ssize_t>(i), reason);
        return false;
    }
    return true;
}

// A new one-dimensional numpy array of `n` items of `dtype` and a writable
// buffer over it.
bool new_1d(Py_ssize_t n, const char* dtype, const char* codes, Py_ssize_t itemsize, PyRef& array,
            Buffer& buffer) {
    array = PyRef(new_array("empty", {n}, dtype));
    return array && acquire_1d(array.get(), dtype, codes, itemsize, n, PyBUF_WRITABLE, buffer);
}

PyObject* coordinates_body(Call& call) {
    Column column;
    if (!column.acquire(call[0], call[1], call[2])) return call.fail();
    const Py_ssize_t n = column.n;
    PyRef counts_array, summary_array;
    Buffer counts_buf, summary_buf;
    if (!new_1d(n, "int64", "lq", 8, counts_array, counts_buf) ||
        !new_1d(n, "uint16", "H", 2, summary_array, summary_buf)) {
        return call.fail();
    }
    int64_t* counts = counts_buf.data<int64_t>();
    uint16_t* summary = summary_buf.data<uint16_t>();
    std::vector<uint8_t> status;
    std::vector<uint64_t> start;
    const auto rows_n = static_cast<std::size_t>(n);
    if (!zeroed(rows_n, status) || !zeroed(rows_n + 1, start)) return call.fail();
    bool done = parallel_rows(n, kSerialRows, [&](Py_ssize_t i) {
        wkb::Blob blob;
        bool bad;
        uint64_t found = 0;
        uint16_t kind = 0;
        if (column.blob(i, blob, bad)) {
            status[i] = static_cast<uint8_t>(wkb::count(blob, found, kind));
        } else if (bad) {
            status[i] = kBadOffsets;
        }
        counts[i] = static_cast<int64_t>(found);
        summary[i] = kind;
    });
    if (!done || !check_rows(status)) return call.fail();
    // The counts are read back from `start`, which no other code can see.
    for (Py_ssize_t i = 0; i < n; ++i) start[i + 1] = start[i] + static_cast<uint64_t>(counts[i]);
    const uint64_t total = start[n];
    const auto rows = static_cast<Py_ssize_t>(total);
    PyRef xyz_array(new_array("empty", {rows, 3}, "float64"));
    Buffer xyz;
    if (!xyz_array || !acquire_triples(xyz_array.get(), rows, PyBUF_WRITABLE, xyz)) {
        return call.fail();
    }
    double* out = xyz.data<double>();
    done = parallel_rows(n, kSerialRows, [&](Py_ssize_t i) {
        wkb::Blob blob;
        bool bad;
        const uint64_t capacity = start[i + 1] - start[i];
        if (column.blob(i, blob, bad)) {
            status[i] = static_cast<uint8_t>(wkb::read(blob, out + 3 * start[i], capacity));
        } else {
            status[i] =
                static_cast<uint8_t>(capacity == 0 ? wkb::Status::kOk : wkb::Status::kChanged);
        }
    });
    if (!done || !check_rows(status)) return call.fail();
    return call.result(PyTuple_Pack(3, xyz_array.get(), counts_array.get(), summary_array.get()));
}

// force_z: every coordinate written with a z (wkb_rewrite_3d).
template <bool force_z>
PyObject* rewrite_body(Call& call) {
    Column column;
    if (!column.acquire(call[0], call[1], call[2])) return call.fail();
    const Py_ssize_t n = column.n;
    Buffer xyz;
    if (!acquire_triples(call[3], -1, 0, xyz)) return call.fail();
    const Py_ssize_t rows = xyz.view().shape[0];
    const double* triples = xyz.data<const double>();
    std::vector<uint8_t> status;
    std::vector<uint64_t> bytes_at, coords_at;
    const auto rows_n = static_cast<std::size_t>(n);
    if (!zeroed(rows_n, status) || !zeroed(rows_n + 1, bytes_at, coords_at)) return call.fail();
    bool done = parallel_rows(n, kSerialRows, [&](Py_ssize_t i) {
        wkb::Blob blob;
        bool bad;
        if (column.blob(i, blob, bad)) {
            status[i] = static_cast<uint8_t>(
                wkb::rewritten_size(blob, force_z, bytes_at[i + 1], coords_at[i + 1]));
        } else if (bad) {
            status[i] = kBadOffsets;
        }
    });
    if (!done || !check_rows(status)) return call.fail();
    for (Py_ssize_t i = 0; i < n; ++i) {
        bytes_at[i + 1] += bytes_at[i];
        coords_at[i + 1] += coords_at[i];
    }
    if (coords_at[n] != static_cast<uint64_t>(rows)) {
        PyErr_Format(PyExc_ValueError, "xyz must have %zd rows, one per coordinate, got %zd",
                     static_cast<Py_ssize_t>(coords_at[n]), rows);
        return call.fail();
    }
    PyRef offsets_array, data_array;
    Buffer offsets_buf, data_buf;
    if (!new_1d(n + 1, "int64", "lq", 8, offsets_array, offsets_buf) ||
        !new_1d(static_cast<Py_ssize_t>(bytes_at[n]), "uint8", "B", 1, data_array, data_buf)) {
        return call.fail();
    }
    int64_t* offsets = offsets_buf.data<int64_t>();
    for (Py_ssize_t i = 0; i <= n; ++i) offsets[i] = static_cast<int64_t>(bytes_at[i]);
    uint8_t* out = data_buf.data<uint8_t>();
    done = parallel_rows(n, kSerialRows, [&](Py_ssize_t i) {
        wkb::Blob blob;
        bool bad;
        const uint64_t size = bytes_at[i + 1] - bytes_at[i];
        const uint64_t capacity = coords_at[i + 1] - coords_at[i];
        if (column.blob(i, blob, bad)) {
            status[i] = static_cast<uint8_t>(wkb::rewrite(
                blob, triples + 3 * coords_at[i], capacity, force_z, out + bytes_at[i], size));
        } else if (size != 0 || capacity != 0) {
            status[i] = static_cast<uint8_t>(wkb::Status::kChanged);
        }
    });
    if (!done || !check_rows(status)) return call.fail();
    return call.result(PyTuple_Pack(2, offsets_array.get(), data_array.get()));
}

PyObject* valid_default() { return PyTuple_Pack(1, Py_None); }

constexpr NativeFunction kCoordinates{
    FunctionSpec("wkb_coordinates", {"data", "offsets", "valid"}, coordinates_body)
        .defaults(1, valid_default),
    "geokern_tools._native.wkb_coordinates"};
constexpr NativeFunction kRewrite{
    FunctionSpec("wkb_rewrite", {"data", "offsets", "valid", "xyz"}, rewrite_body<false>),
    "geokern_tools._native.wkb_rewrite"};
constexpr NativeFunction kRewrite3d{
    FunctionSpec("wkb_rewrite_3d", {"data", "offsets", "valid", "xyz"}, rewrite_body<true>),
    "geokern_tools._native.wkb_rewrite_3d"};

}  // namespace

PyMethodDef* wkb_methods() {
    static PyMethodDef methods[] = {
        method_def<kCoordinates>(
            "wkb_coordinates($module, data, offsets, valid=None)\n--\n\n"
            "The coordinates of a column of WKB geometries: (xyz, counts, summary)."),
        method_def<kRewrite>(
            "wkb_rewrite($module, data, offsets, valid, xyz)\n--\n\n"
            "The column of WKB geometries with the coordinates xyz: (offsets, data)."),
        method_def<kRewrite3d>("wkb_rewrite_3d($module, data, offsets, valid, xyz)\n--\n\n"
                               "The same, every coordinate written with its z: (offsets, data)."),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace gk::tools
