// geokern core: the Web Mercator batch conversions as module-level functions.
#include "core/web_mercator_batch_py.hpp"

#include "core/web_mercator_batch.hpp"
#include "module/row_batch.hpp"

namespace gk {

PyObject* geodetic_to_web_mercator_fast_array(Call& call) {
    return map_rows3(call, web_mercator::from_geodetic);
}

PyObject* web_mercator_to_geodetic_fast_array(Call& call) {
    return map_rows3(call, web_mercator::to_geodetic);
}

PyObject* web_mercator_to_ecef_fast_array(Call& call) {
    return map_rows3(call, web_mercator::to_ecef);
}

}  // namespace gk
