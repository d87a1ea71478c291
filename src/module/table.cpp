// geokern module layer: the table of module-level functions.
//
// One row per function, in creation order: name, argument names, body, and
// where it applies the number of defaults and their factory, the docstring,
// the place in __all__ and the capsule of the native function it wraps.
// The rows are checked at compile time (below).  Adding a function means
// adding its row here and its body to its subsystem.
#include "module/table.hpp"

#include "china/bd09_py.hpp"
#include "china/gcj02_py.hpp"
#include "core/core_py.hpp"
#include "core/web_mercator_batch_py.hpp"
#include "ecef/ecef2geodetic_batch_py.hpp"
#include "ecef/ecef2geodetic_py.hpp"
#include "ecef/geodetic2ecef_py.hpp"
#include "mesh/mesh_py.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_file_py.hpp"

#include <string_view>

namespace gk {

namespace {

using F = FunctionSpec;

constexpr FunctionSpec kFunctions[] = {
    F("geodetic2ecef_fast_array", {"arr"}, geodetic2ecef_fast_array).listed(14),
    F("web_mercator_to_geodetic_fast_array", {"arr"}, web_mercator_to_geodetic_fast_array)
        .documented(kWebMercatorToGeodeticDoc)
        .listed(21),
    F("geodetic_to_web_mercator_fast_array", {"arr"}, geodetic_to_web_mercator_fast_array)
        .documented(kGeodeticToWebMercatorDoc)
        .listed(22),
    F("web_mercator_to_ecef_fast_array", {"arr"}, web_mercator_to_ecef_fast_array)
        .documented(kWebMercatorToEcefDoc)
        .listed(23),
    F("calculate_smooth_normals_cy", {"pos", "indices", "vertex_count"},
      calculate_smooth_normals_cy)
        .listed(15),
    F("expand_flat_shaded_mesh_cy", {"pos", "indices"}, expand_flat_shaded_mesh_cy)
        .documented(kExpandFlatShadedDoc)
        .listed(16),
    F("expand_crease_normals_mesh_cy", {"pos", "indices", "crease_angle_deg"},
      expand_crease_normals_mesh_cy)
        .defaults(1, crease_angle_defaults)
        .documented(kExpandCreaseNormalsDoc)
        .listed(17),
    F("out_of_china_cpp", {"lon", "lat"}, out_of_china_cpp).listed(20),
    F("web_mercator_to_geodetic_cpp", {"x", "y", "z"}, web_mercator_to_geodetic_cpp).listed(18),
    F("geodetic_to_web_mercator_cpp", {"lon", "lat", "alt"}, geodetic_to_web_mercator_cpp)
        .listed(19),
    F("geodetic2ecef_cpp", {"lon", "lat", "alt"}, geodetic2ecef_cpp).listed(0),
    F("geodetic2ecef_cy", {"lon", "lat", "alt"}, geodetic2ecef_cy)
        .listed(1)
        .publishes(capsule<geodetic2ecef_cython>("geodetic2ecef_cython", 13)),
    F("geodetic2ecef_cy_np", {"arr"}, geodetic2ecef_cy_np)
        .listed(2)
        .publishes(capsule<geodetic2ecef_cython_np_mv>("geodetic2ecef_cython_np_mv", 3)),
    F("geodetic2ecef_np_cy", {"arr"}, geodetic2ecef_np_cy),
    F("ecef2geodetic_cy", {"x", "y", "z"}, ecef2geodetic_cy)
        .listed(3)
        .publishes(capsule<ecef2geodetic_cython>("ecef2geodetic_cython", 11)),
    F("ecef2geodetic_nparray_cy", {"pos_array", "transform", "return_z"}, ecef2geodetic_nparray_cy)
        .defaults(2, ecef2geodetic_nparray_cy_defaults)
        .listed(4)
        .publishes(capsule<ecef2geodetic_nparray_cython>("ecef2geodetic_nparray_cython", 4)),
    F("ecef2geodetic_np_cy", {"pos_array", "transform", "return_z"}, ecef2geodetic_np_cy)
        .defaults(2, ecef2geodetic_np_cy_defaults),
    F("ecef2geodetic_list_cy", {"pos_array", "transform"}, ecef2geodetic_list_cy)
        .listed(5)
        .publishes(capsule<ecef2geodetic_list_cython>("ecef2geodetic_list_cython", 1)),
    F("generate_obb_2d_from_points", {"pos_array"}, generate_obb_2d_from_points)
        .listed(6)
        .publishes(
            capsule<generate_obb_2d_from_points_cython>("generate_obb_2d_from_points_cython", 2)),
    F("generate_obb_2d_from_obj_file", {"obj_file"}, generate_obb_2d_from_obj_file)
        .listed(7)
        .publishes(capsule<generate_obb_2d_from_obj_file_cython>(
            "generate_obb_2d_from_obj_file_cython", 0)),
    F("wgs84_to_gcj02_cy", {"lon", "lat"}, wgs84_to_gcj02_cy)
        .listed(8)
        .publishes(capsule<wgs84_to_gcj02>("wgs84_to_gcj02", 10)),
    F("wgs84_to_bd09_cy", {"lon", "lat"}, wgs84_to_bd09_cy)
        .listed(9)
        .publishes(capsule<wgs84_to_bd09>("wgs84_to_bd09", 9)),
    F("gcj02_to_wgs84_cy", {"lon", "lat"}, gcj02_to_wgs84_cy)
        .listed(10)
        .publishes(capsule<gcj02_to_wgs84>("gcj02_to_wgs84", 8)),
    F("gcj02_to_bd09_cy", {"lon", "lat"}, gcj02_to_bd09_cy)
        .listed(11)
        .publishes(capsule<gcj02_to_bd09>("gcj02_to_bd09", 7)),
    F("bd09_to_wgs84_cy", {"lon", "lat"}, bd09_to_wgs84_cy)
        .listed(12)
        .publishes(capsule<bd09_to_wgs84>("bd09_to_wgs84", 6)),
    F("bd09_to_gcj02_cy", {"lon", "lat"}, bd09_to_gcj02_cy)
        .listed(13)
        .publishes(capsule<bd09_to_gcj02>("bd09_to_gcj02", 5)),
};

// Native functions published without a module-level function of their own.
constexpr CapsuleSpec kCapsulesOnly[] = {
    capsule<geodetic2ecef_custom_ellipsoid_cython>("geodetic2ecef_custom_ellipsoid_cython", 12),
};

// ---- compile-time checks of the rows --------------------------------------

// Each of 0 .. count-1 is the position of exactly one item (negative
// positions are not counted).
template <class Items, class Position>
consteval bool dense(const Items& items, Position position) {
    int count = 0, sum = 0;
    for (const auto& item : items) {
        const int p = position(item);
        if (p < 0) continue;
        for (const auto& other : items) {
            if (&other != &item && position(other) == p) return false;
        }
        ++count;
        sum += p;
    }
    return sum == count * (count - 1) / 2;  // distinct, so 0 .. count-1
}

consteval bool names_unique() {
    for (const FunctionSpec& a : kFunctions) {
        for (const FunctionSpec& b : kFunctions) {
            if (&a != &b && std::string_view(a.name) == b.name) return false;
        }
    }
    return true;
}

consteval bool capsules_dense() {
    constexpr std::size_t n = std::size(kFunctions) + std::size(kCapsulesOnly);
    std::array<CapsuleSpec, n> all{};
    std::size_t k = 0;
    for (const FunctionSpec& row : kFunctions) all[k++] = row.capsule;
    for (const CapsuleSpec& extra : kCapsulesOnly) all[k++] = extra;
    for (const CapsuleSpec& c : all) {
        if ((c.name == nullptr) != (c.position < 0)) return false;
        for (const CapsuleSpec& d : all) {
            if (&c != &d && c.name && d.name && std::string_view(c.name) == d.name) return false;
        }
    }
    return dense(all, [](const CapsuleSpec& c) { return c.position; });
}

static_assert(names_unique(), "every function has a name of its own");
static_assert(dense(kFunctions, [](const FunctionSpec& f) { return f.all_position; }),
              "the __all__ positions are 0 .. n-1, each once");
static_assert(capsules_dense(), "the capsule names differ and their positions are 0 .. n-1");

}  // namespace

std::span<const FunctionSpec> function_table() { return kFunctions; }

std::span<const CapsuleSpec> capsules_only() { return kCapsulesOnly; }

}  // namespace gk
