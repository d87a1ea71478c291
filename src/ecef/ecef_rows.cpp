// geokern ecef: the table of the earth-centred row kernels for the vector
// width this file is compiled for (CMakeLists.txt builds it twice).
#include "ecef/ecef_rows.hpp"

#include "core/simd_rows.hpp"
#include "ecef/ecef2geodetic_rows.hpp"
#include "ecef/geodetic2ecef_rows.hpp"

namespace gk::ecef::GK_SIMD_ISA {

const RowKernels kRowKernels = {
    simd::map_rows<3, geodetic_to_ecef_rows>,
    simd::map_rows<2, ecef_to_geodetic_rows<false>>,
    simd::map_rows<3, ecef_to_geodetic_rows<true>>,
};

}  // namespace gk::ecef::GK_SIMD_ISA
