// geokern module layer: the table of module-level functions.
//
// One row per function, in creation order: name, argument names, body, and
// where it applies the number of defaults and their factory, the docstring,
// whether __all__ lists it and the capsule of the native function it
// wraps; then the order of __all__ and the order of __pyx_capi__, by name.
// The orders are checked at compile time against the rows (below), and
// tests/module/test_registration.py checks the tests' list of functions,
// the API reference and the stubs against the module.  Adding a function
// means adding its row (and its name to the orders) here and its body to
// its subsystem.
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

#include <array>
#include <string_view>

namespace gk {

namespace {

using F = FunctionSpec;

constexpr FunctionSpec kFunctions[] = {
    F("geodetic2ecef_fast_array", {"arr"}, geodetic2ecef_fast_array).listed(),
    F("web_mercator_to_geodetic_fast_array", {"arr"}, web_mercator_to_geodetic_fast_array)
        .documented(kWebMercatorToGeodeticDoc)
        .listed(),
    F("geodetic_to_web_mercator_fast_array", {"arr"}, geodetic_to_web_mercator_fast_array)
        .documented(kGeodeticToWebMercatorDoc)
        .listed(),
    F("web_mercator_to_ecef_fast_array", {"arr"}, web_mercator_to_ecef_fast_array)
        .documented(kWebMercatorToEcefDoc)
        .listed(),
    F("calculate_smooth_normals_cy", {"pos", "indices", "vertex_count"},
      calculate_smooth_normals_cy)
        .listed(),
    F("expand_flat_shaded_mesh_cy", {"pos", "indices"}, expand_flat_shaded_mesh_cy)
        .documented(kExpandFlatShadedDoc)
        .listed(),
    F("expand_crease_normals_mesh_cy", {"pos", "indices", "crease_angle_deg"},
      expand_crease_normals_mesh_cy)
        .defaults(1, crease_angle_defaults)
        .documented(kExpandCreaseNormalsDoc)
        .listed(),
    F("out_of_china_cpp", {"lon", "lat"}, out_of_china_cpp).listed(),
    F("web_mercator_to_geodetic_cpp", {"x", "y", "z"}, web_mercator_to_geodetic_cpp).listed(),
    F("geodetic_to_web_mercator_cpp", {"lon", "lat", "alt"}, geodetic_to_web_mercator_cpp).listed(),
    F("geodetic2ecef_cpp", {"lon", "lat", "alt"}, geodetic2ecef_cpp).listed(),
    F("geodetic2ecef_cy", {"lon", "lat", "alt"}, geodetic2ecef_cy)
        .listed()
        .publishes(capsule<geodetic2ecef_cython>("geodetic2ecef_cython")),
    F("geodetic2ecef_cy_np", {"arr"}, geodetic2ecef_cy_np)
        .listed()
        .publishes(capsule<geodetic2ecef_cython_np_mv>("geodetic2ecef_cython_np_mv")),
    F("geodetic2ecef_np_cy", {"arr"}, geodetic2ecef_np_cy),
    F("ecef2geodetic_cy", {"x", "y", "z"}, ecef2geodetic_cy)
        .listed()
        .publishes(capsule<ecef2geodetic_cython>("ecef2geodetic_cython")),
    F("ecef2geodetic_nparray_cy", {"pos_array", "transform", "return_z"}, ecef2geodetic_nparray_cy)
        .defaults(2, ecef2geodetic_nparray_cy_defaults)
        .listed()
        .publishes(capsule<ecef2geodetic_nparray_cython>("ecef2geodetic_nparray_cython")),
    F("ecef2geodetic_np_cy", {"pos_array", "transform", "return_z"}, ecef2geodetic_np_cy)
        .defaults(2, ecef2geodetic_np_cy_defaults),
    F("ecef2geodetic_list_cy", {"pos_array", "transform"}, ecef2geodetic_list_cy)
        .listed()
        .publishes(capsule<ecef2geodetic_list_cython>("ecef2geodetic_list_cython")),
    F("generate_obb_2d_from_points", {"pos_array"}, generate_obb_2d_from_points)
        .listed()
        .publishes(
            capsule<generate_obb_2d_from_points_cython>("generate_obb_2d_from_points_cython")),
    F("generate_obb_2d_from_obj_file", {"obj_file"}, generate_obb_2d_from_obj_file)
        .listed()
        .publishes(
            capsule<generate_obb_2d_from_obj_file_cython>("generate_obb_2d_from_obj_file_cython")),
    F("wgs84_to_gcj02_cy", {"lon", "lat"}, wgs84_to_gcj02_cy)
        .listed()
        .publishes(capsule<wgs84_to_gcj02>("wgs84_to_gcj02")),
    F("wgs84_to_bd09_cy", {"lon", "lat"}, wgs84_to_bd09_cy)
        .listed()
        .publishes(capsule<wgs84_to_bd09>("wgs84_to_bd09")),
    F("gcj02_to_wgs84_cy", {"lon", "lat"}, gcj02_to_wgs84_cy)
        .listed()
        .publishes(capsule<gcj02_to_wgs84>("gcj02_to_wgs84")),
    F("gcj02_to_bd09_cy", {"lon", "lat"}, gcj02_to_bd09_cy)
        .listed()
        .publishes(capsule<gcj02_to_bd09>("gcj02_to_bd09")),
    F("bd09_to_wgs84_cy", {"lon", "lat"}, bd09_to_wgs84_cy)
        .listed()
        .publishes(capsule<bd09_to_wgs84>("bd09_to_wgs84")),
    F("bd09_to_gcj02_cy", {"lon", "lat"}, bd09_to_gcj02_cy)
        .listed()
        .publishes(capsule<bd09_to_gcj02>("bd09_to_gcj02")),
};

// Native functions published without a module-level function of their own.
constexpr CapsuleSpec kCapsulesOnly[] = {
    capsule<geodetic2ecef_custom_ellipsoid_cython>("geodetic2ecef_custom_ellipsoid_cython"),
};

// __all__, in its order: the names of the rows marked listed().
constexpr std::string_view kAllOrder[] = {
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

// __pyx_capi__, in the order its entries are inserted: the names of every
// capsule above.
constexpr std::string_view kCapiOrder[] = {
    "generate_obb_2d_from_obj_file_cython",
    "ecef2geodetic_list_cython",
    "generate_obb_2d_from_points_cython",
    "geodetic2ecef_cython_np_mv",
    "ecef2geodetic_nparray_cython",
    "bd09_to_gcj02",
    "bd09_to_wgs84",
    "gcj02_to_bd09",
    "gcj02_to_wgs84",
    "wgs84_to_bd09",
    "wgs84_to_gcj02",
    "ecef2geodetic_cython",
    "geodetic2ecef_custom_ellipsoid_cython",
    "geodetic2ecef_cython",
};

// ---- the orders, derived and checked at compile time ----------------------

// How many of `items` have `name` under `name_of`.
template <class Items, class NameOf>
consteval int count_named(const Items& items, std::string_view name, NameOf name_of) {
    int n = 0;
    for (const auto& item : items) {
        if (name_of(item) == name) ++n;
    }
    return n;
}

constexpr auto kRowName = [](const FunctionSpec& row) { return std::string_view(row.name); };
constexpr auto kListedName = [](const FunctionSpec& row) {
    return row.in_all ? std::string_view(row.name) : std::string_view();
};
constexpr auto kCapsuleName = [](const CapsuleSpec& c) {
    return c.name ? std::string_view(c.name) : std::string_view();
};
constexpr auto kSame = [](std::string_view name) { return name; };

// Every name of `order` names exactly one of `items` and appears in
// `order` once, and every named item is in `order`.
template <class Items, class NameOf, std::size_t N>
consteval bool one_to_one(const Items& items, NameOf name_of, const std::string_view (&order)[N]) {
    for (std::string_view name : order) {
        if (count_named(items, name, name_of) != 1 || count_named(order, name, kSame) != 1) {
            return false;
        }
    }
    for (const auto& item : items) {
        if (!name_of(item).empty() && count_named(order, name_of(item), kSame) != 1) return false;
    }
    return true;
}

// Every published capsule: those of the rows, then those without a row.
consteval auto all_capsules() {
    std::array<CapsuleSpec, std::size(kFunctions) + std::size(kCapsulesOnly)> all{};
    std::size_t k = 0;
    for (const FunctionSpec& row : kFunctions) all[k++] = row.capsule;
    for (const CapsuleSpec& extra : kCapsulesOnly) all[k++] = extra;
    return all;
}

// The capsules in the order of kCapiOrder.
consteval auto ordered_capsules() {
    constexpr auto all = all_capsules();
    std::array<CapsuleSpec, std::size(kCapiOrder)> ordered{};
    for (std::size_t i = 0; i < std::size(kCapiOrder); ++i) {
        for (const CapsuleSpec& c : all) {
            if (kCapsuleName(c) == kCapiOrder[i]) ordered[i] = c;
        }
    }
    return ordered;
}

// The names of __all__ as the exec step needs them.
consteval auto all_order() {
    std::array<const char*, std::size(kAllOrder)> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kAllOrder[i].data();
    return names;
}

// (Whether a body's address is null is no constant expression in every
// build, the sanitizers' among them, so bodies are not checked here.)
static_assert(
    [] {
        for (const FunctionSpec& row : kFunctions) {
            if (count_named(kFunctions, row.name, kRowName) != 1) return false;
        }
        return true;
    }(),
    "every function has a name of its own");
static_assert(one_to_one(kFunctions, kListedName, kAllOrder),
              "kAllOrder names each function marked listed() once, and nothing else");
static_assert(one_to_one(all_capsules(), kCapsuleName, kCapiOrder),
              "kCapiOrder names each capsule once, and nothing else");

constexpr auto kCapsules = ordered_capsules();
constexpr auto kAllNames = all_order();

}  // namespace

std::span<const FunctionSpec> function_table() { return kFunctions; }

std::span<const char* const> all_names() { return kAllNames; }

std::span<const CapsuleSpec> published_capsules() { return kCapsules; }

}  // namespace gk
