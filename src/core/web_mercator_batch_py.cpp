// geokern core: the Web Mercator batch conversions as module-level functions.
#include "core/web_mercator_batch_py.hpp"

#include "core/web_mercator_rows.hpp"
#include "module/row_batch.hpp"
#include "module/vector_path.hpp"

namespace gk {

const char kWebMercatorToEcefDoc[] =
    "Web Mercator (EPSG:3857) 批量直转 ECEF (EPSG:4978)。\n"
    "\n"
    "    相比 ``web_mercator_to_geodetic_fast_array`` 再接\n"
    "    ``geodetic2ecef_fast_array``，本函数在内部全程使用弧度，省去一次\n"
    "    弧度→度→弧度的往返与一次中间数组分配，是三维切片管线的常用路径。\n"
    "\n"
    "    参数\n"
    "    ----\n"
    "    arr : (N, 3) float64\n"
    "        每行为 ``[x, y, z]``，x/y 为 EPSG:3857 米制坐标，z 为椭球高（米）。\n"
    "\n"
    "    返回\n"
    "    ----\n"
    "    (N, 3) float64\n"
    "        每行为 ECEF 的 ``[X, Y, Z]``（米）。\n"
    "    ";

const char kGeodeticToWebMercatorDoc[] =
    "经纬度批量转 Web Mercator (EPSG:3857)。\n"
    "\n"
    "    参数\n"
    "    ----\n"
    "    arr : (N, 3) float64\n"
    "        每行为 ``[经度(度), 纬度(度), 高程(米)]``。\n"
    "\n"
    "    返回\n"
    "    ----\n"
    "    (N, 3) float64\n"
    "        每行为 ``[x, y, z]``，x/y 为 EPSG:3857 米制坐标。\n"
    "    ";

const char kWebMercatorToGeodeticDoc[] =
    "Web Mercator (EPSG:3857) 批量转经纬度。\n"
    "\n"
    "    参数\n"
    "    ----\n"
    "    arr : (N, 3) float64\n"
    "        每行为 ``[x, y, z]``，x/y 为 EPSG:3857 米制坐标，z 为高程（米，原样透传）。\n"
    "\n"
    "    返回\n"
    "    ----\n"
    "    (N, 3) float64\n"
    "        每行为 ``[经度(度), 纬度(度), 高程(米)]``。\n"
    "    ";

namespace {

const web_mercator::RowKernels& kernels() {
    return chosen_table(web_mercator::avx2::kRowKernels, web_mercator::avx512::kRowKernels);
}

}  // namespace

PyObject* geodetic_to_web_mercator_fast_array(Call& call) {
    return map_rows3(call, kernels().from_geodetic);
}

PyObject* web_mercator_to_geodetic_fast_array(Call& call) {
    return map_rows3(call, kernels().to_geodetic);
}

PyObject* web_mercator_to_ecef_fast_array(Call& call) { return map_rows3(call, kernels().to_ecef); }

}  // namespace gk
