// geokern core: the Web Mercator batch kernels as tables of row kernels,
// one per vector width (row_kernel.hpp).  web_mercator_rows.cpp is compiled
// once for each width and defines that width's table; the module layer
// picks one (module/vector_path.hpp).
#pragma once

#include "core/row_kernel.hpp"

namespace gk::web_mercator {

struct RowKernels {
    RowKernel from_geodetic;  // (lon deg, lat deg, h) -> (x, y, h)
    RowKernel to_geodetic;    // (x, y, h) -> (lon deg, lat deg, h)
    RowKernel to_ecef;        // (x, y, ellipsoidal h) -> (X, Y, Z)
};

namespace avx2 {
extern const RowKernels kRowKernels;
}
namespace avx512 {
extern const RowKernels kRowKernels;
}

}  // namespace gk::web_mercator
