// geokern module layer: what an array view accepts.
//
// A kind names the element type as messages show it ("const double",
// "uint32_t"), the buffer format of one element, the number of dimensions
// and whether the view writes.
#pragma once

#include "module/python.hpp"

namespace gk {

// `group` is the element kind of the buffer format: 'R' floating, 'U'
// unsigned integer.
struct ViewKind {
    const char* type_name;  // as messages show it
    char format;            // the struct-module code of one element
    char group;
    Py_ssize_t itemsize;
    int ndim;
    bool writable;
};

inline constexpr ViewKind kConstDouble2D{"const double", 'd', 'R', 8, 2, false};
inline constexpr ViewKind kDouble2D{"double", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kFloat64T2D{"DTYPE_FLOAT64_T", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kDoubleT2D{"DTYPE_DOUBLE_T", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kFloat64Array2D{"float64_t", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kConstFloat2D{"const float", 'f', 'R', 4, 2, false};
inline constexpr ViewKind kFloat2D{"float", 'f', 'R', 4, 2, true};
inline constexpr ViewKind kConstIndex1D{"const uint32_t", 'I', 'U', 4, 1, false};
inline constexpr ViewKind kIndex1D{"uint32_t", 'I', 'U', 4, 1, true};
inline constexpr ViewKind kConstIndex2D{"const uint32_t", 'I', 'U', 4, 2, false};

}  // namespace gk
