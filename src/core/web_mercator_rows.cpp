// geokern core: the table of the Web Mercator row kernels for the vector
// width this file is compiled for (CMakeLists.txt builds it twice).
#include "core/web_mercator_rows.hpp"

#include "core/simd_rows.hpp"
#include "core/web_mercator_batch.hpp"

namespace gk::web_mercator::GK_SIMD_ISA {

const RowKernels kRowKernels = {
    simd::map_rows<3, from_geodetic>,
    simd::map_rows<3, to_geodetic>,
    simd::map_rows<3, to_ecef>,
};

}  // namespace gk::web_mercator::GK_SIMD_ISA
