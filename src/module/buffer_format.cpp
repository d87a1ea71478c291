// geokern module layer: checking an acquired buffer against a view kind
// (see buffer_format.hpp).
#include "module/buffer_format.hpp"

namespace gk {

namespace {

// The code tables below keep several case labels to a line.
// clang-format off

// Size of one element of struct code `c` in native ('@', '^') or standard
// ('=', '<') mode; 0 when `c` is not an element code.
Py_ssize_t code_size(char c, bool native) {
    switch (c) {
    case 'c': case 'b': case 'B': case '?': case 's': case 'p': case 'x': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
    case 'q': case 'Q': return 8;
    case 'f': return 4;
    case 'd': return 8;
    case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
    case 'O': case 'P': return static_cast<Py_ssize_t>(sizeof(void*));
    default: return 0;
    }
}

// Element kind of a code: 'R' floating, 'C' complex, 'I' signed and 'U'
// unsigned integer, 'H' character, 'O' object, 'P' pointer, 'S' string.
char code_group(char c, bool complex) {
    switch (c) {
    case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
    case 'b': case 'h': case 'i': case 'l': case 'q': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'c': return 'H';
    case 'O': return 'O';
    case 'P': return 'P';
    default: return 'S';
    }
}

const char* describe(char c, bool complex) {
    switch (c) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
    }
}

// clang-format on

bool raise_mismatch(const ViewKind& kind, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 kind.type_name, "'", got);
    return false;
}

// True when `format` describes exactly one element of `kind`.
bool check_format(const char* format, const ViewKind& kind) {
    const char* p = format ? format : "B";
    bool native = true;
    for (;; ++p) {
        if (*p == '@' || *p == '^') {
            native = true;
        } else if (*p == '=' || *p == '<') {
            native = false;
        } else if (*p == '>' || *p == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        } else {
            break;
        }
    }
    long count = -1;
    while (*p >= '0' && *p <= '9') {
        count = (count < 0 ? 0 : count * 10) + (*p - '0');
        if (count > 1000000) break;
        ++p;
    }
    const bool complex = *p == 'Z';
    if (complex) ++p;
    const char c = *p;
    if (c == 0 || c == 'T') return raise_mismatch(kind, describe(c, false));
    const Py_ssize_t size = code_size(c, native);
    if (size == 0) {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
        return false;
    }
    if (code_group(c, complex) != kind.group || size * (complex ? 2 : 1) != kind.itemsize ||
        (count >= 0 && count != 1)) {
        return raise_mismatch(kind, describe(c, complex));
    }
    if (p[1] != 0) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                     "end", "", describe(p[1] == 'Z' ? p[2] : p[1], p[1] == 'Z'));
        return false;
    }
    return true;
}

}  // namespace

bool check_buffer(const Py_buffer& b, const ViewKind& kind) {
    if (b.ndim != kind.ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", kind.ndim,
                     b.ndim);
        return false;
    }
    if (!check_format(b.format, kind)) return false;
    if (b.itemsize != kind.itemsize) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(b.itemsize), b.itemsize == 1 ? "" : "s", kind.type_name,
                     static_cast<size_t>(kind.itemsize), kind.itemsize == 1 ? "" : "s");
        return false;
    }
    for (int d = 0; d < b.ndim; ++d) {
        if (b.suboffsets && b.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", d);
            return false;
        }
    }
    return true;
}

}  // namespace gk
