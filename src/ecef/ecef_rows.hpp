// geokern ecef: the earth-centred batch kernels as tables of row kernels,
// one per vector width (core/row_kernel.hpp).  ecef_rows.cpp is compiled
// once for each width and defines that width's table; the module layer
// picks one (module/vector_path.hpp).
#pragma once

#include "core/row_kernel.hpp"

namespace gk::ecef {

struct RowKernels {
    RowKernel geodetic_to_ecef;          // (lon deg, lat deg, h) -> (X, Y, Z)
    RowKernel ecef_to_geodetic;          // (X, Y, Z) -> (lon deg, lat deg)
    RowKernel ecef_to_geodetic_heights;  // (X, Y, Z) -> (lon deg, lat deg, h)
};

namespace avx2 {
extern const RowKernels kRowKernels;
}
namespace avx512 {
extern const RowKernels kRowKernels;
}

}  // namespace gk::ecef
