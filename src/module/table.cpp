// geokern module layer: the table of module-level functions.
//
// One row per function, in creation order: name, argument names, number of
// arguments, how many are required, the defaults' factory, the docstring
// and the native body.  Adding a function means adding its row here.
#include "module/table.hpp"

#include "core/core_py.hpp"
#include "ecef/geodetic2ecef_py.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_file_py.hpp"

namespace gk {

namespace {

const FunctionSpec kFunctions[] = {
    {"geodetic2ecef_fast_array", {"arr"}, 1, 1, nullptr, nullptr, geodetic2ecef_fast_array},
    {"out_of_china_cpp", {"lon", "lat"}, 2, 2, nullptr, nullptr, out_of_china_cpp},
    {"web_mercator_to_geodetic_cpp", {"x", "y", "z"}, 3, 3, nullptr, nullptr,
     web_mercator_to_geodetic_cpp},
    {"geodetic_to_web_mercator_cpp", {"lon", "lat", "alt"}, 3, 3, nullptr, nullptr,
     geodetic_to_web_mercator_cpp},
    {"geodetic2ecef_cpp", {"lon", "lat", "alt"}, 3, 3, nullptr, nullptr, geodetic2ecef_cpp},
    {"generate_obb_2d_from_points", {"pos_array"}, 1, 1, nullptr, nullptr,
     generate_obb_2d_from_points},
    {"generate_obb_2d_from_obj_file", {"obj_file"}, 1, 1, nullptr, nullptr,
     generate_obb_2d_from_obj_file},
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
