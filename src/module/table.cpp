// geokern module layer: the table of module-level functions.
//
// One row per function, in creation order: name, argument names, number of
// arguments, how many are required, the defaults' factory, the docstring
// and the native body.  Adding a function means adding its row here.
#include "module/table.hpp"

#include "china/bd09_py.hpp"
#include "china/gcj02_py.hpp"
#include "core/core_py.hpp"
#include "core/web_mercator_batch_py.hpp"
#include "ecef/ecef2geodetic_batch_py.hpp"
#include "ecef/ecef2geodetic_py.hpp"
#include "ecef/geodetic2ecef_py.hpp"
#include "mesh/mesh_py.hpp"
#include "module/scalar_body.hpp"
#include "module/slice_body.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_file_py.hpp"

namespace gk {

namespace {

const FunctionSpec kFunctions[] = {
    {"geodetic2ecef_fast_array", {"arr"}, 1, 1, nullptr, nullptr, geodetic2ecef_fast_array},
    {"web_mercator_to_geodetic_fast_array", {"arr"}, 1, 1, nullptr, kWebMercatorToGeodeticDoc,
     web_mercator_to_geodetic_fast_array},
    {"geodetic_to_web_mercator_fast_array", {"arr"}, 1, 1, nullptr, kGeodeticToWebMercatorDoc,
     geodetic_to_web_mercator_fast_array},
    {"web_mercator_to_ecef_fast_array", {"arr"}, 1, 1, nullptr, kWebMercatorToEcefDoc,
     web_mercator_to_ecef_fast_array},
    {"calculate_smooth_normals_cy", {"pos", "indices", "vertex_count"}, 3, 3, nullptr, nullptr,
     calculate_smooth_normals_cy},
    {"expand_flat_shaded_mesh_cy", {"pos", "indices"}, 2, 2, nullptr, kExpandFlatShadedDoc,
     expand_flat_shaded_mesh_cy},
    {"expand_crease_normals_mesh_cy", {"pos", "indices", "crease_angle_deg"}, 3, 2,
     crease_angle_defaults, kExpandCreaseNormalsDoc, expand_crease_normals_mesh_cy},
    {"out_of_china_cpp", {"lon", "lat"}, 2, 2, nullptr, nullptr, out_of_china_cpp},
    {"web_mercator_to_geodetic_cpp", {"x", "y", "z"}, 3, 3, nullptr, nullptr,
     web_mercator_to_geodetic_cpp},
    {"geodetic_to_web_mercator_cpp", {"lon", "lat", "alt"}, 3, 3, nullptr, nullptr,
     geodetic_to_web_mercator_cpp},
    {"geodetic2ecef_cpp", {"lon", "lat", "alt"}, 3, 3, nullptr, nullptr, geodetic2ecef_cpp},
    {"geodetic2ecef_cy", {"lon", "lat", "alt"}, 3, 3, nullptr, nullptr,
     scalar_body<geodetic2ecef_cython>},
    {"geodetic2ecef_cy_np", {"arr"}, 1, 1, nullptr, nullptr,
     slice_body<kConstDouble2D, geodetic2ecef_cython_np_mv>},
    {"geodetic2ecef_np_cy", {"arr"}, 1, 1, nullptr, nullptr,
     slice_body<kConstDouble2D, geodetic2ecef_cython_np_mv>},
    {"ecef2geodetic_cy", {"x", "y", "z"}, 3, 3, nullptr, nullptr,
     scalar_body<ecef2geodetic_cython>},
    {"ecef2geodetic_nparray_cy", {"pos_array", "transform", "return_z"}, 3, 1,
     ecef2geodetic_nparray_cy_defaults, nullptr, ecef2geodetic_nparray_cy},
    {"ecef2geodetic_np_cy", {"pos_array", "transform", "return_z"}, 3, 1,
     ecef2geodetic_np_cy_defaults, nullptr, ecef2geodetic_np_cy},
    {"ecef2geodetic_list_cy", {"pos_array", "transform"}, 2, 2, nullptr, nullptr,
     ecef2geodetic_list_cy},
    {"generate_obb_2d_from_points", {"pos_array"}, 1, 1, nullptr, nullptr,
     slice_body<kDouble2D, generate_obb_2d_from_points_cython>},
    {"generate_obb_2d_from_obj_file", {"obj_file"}, 1, 1, nullptr, nullptr,
     generate_obb_2d_from_obj_file},
    {"wgs84_to_gcj02_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, wgs84_to_gcj02_cy},
    {"wgs84_to_bd09_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, wgs84_to_bd09_cy},
    {"gcj02_to_wgs84_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, gcj02_to_wgs84_cy},
    {"gcj02_to_bd09_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, gcj02_to_bd09_cy},
    {"bd09_to_wgs84_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, bd09_to_wgs84_cy},
    {"bd09_to_gcj02_cy", {"lon", "lat"}, 2, 2, nullptr, nullptr, bd09_to_gcj02_cy},
};

const char* const kPublicNames[] = {
    "geodetic2ecef_cpp",
    "geodetic2ecef_cy",
    "geodetic2ecef_cy_np",
    "ecef2geodetic_cy",
    "ecef2geodetic_nparray_cy",
    "ecef2geodetic_list_cy",
    "generate_obb_2d_from_points",
    "generate_obb_2d_from_obj_file",
    "wgs84_to_gcj02_cy",
    "wgs84_to_bd09_cy",
    "gcj02_to_wgs84_cy",
    "gcj02_to_bd09_cy",
    "bd09_to_wgs84_cy",
    "bd09_to_gcj02_cy",
    "geodetic2ecef_fast_array",
    "calculate_smooth_normals_cy",
    "expand_flat_shaded_mesh_cy",
    "expand_crease_normals_mesh_cy",
    "web_mercator_to_geodetic_cpp",
    "geodetic_to_web_mercator_cpp",
    "out_of_china_cpp",
    "web_mercator_to_geodetic_fast_array",
    "geodetic_to_web_mercator_fast_array",
    "web_mercator_to_ecef_fast_array",
};

}  // namespace

std::span<const FunctionSpec> function_table() { return kFunctions; }

std::span<const char* const> public_names() { return kPublicNames; }

}  // namespace gk
