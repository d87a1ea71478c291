// geokern module layer: bodies of module-level functions whose arguments
// are all doubles and that hand them straight to a native function.
#pragma once

#include "module/function.hpp"

#include <cstddef>
#include <utility>

namespace gk {

template <class F>
struct DoubleArity;

template <class... Doubles>
struct DoubleArity<PyObject* (*)(Doubles...)> {
    static constexpr int value = static_cast<int>(sizeof...(Doubles));
};

// Converts the call's arguments to doubles in order (stopping at the first
// that fails) and returns what `Native` makes of them: a new reference, or
// nullptr with an exception set, to which the function adds its entry.
// Use as a table row's body: scalar_body<wgs84_to_bd09>.
template <auto Native>
PyObject* scalar_body(Call& call) {
    constexpr int n = DoubleArity<decltype(Native)>::value;
    double a[n];
    if (!call.doubles(a, n)) return call.fail();
    return call.result([&a]<std::size_t... I>(std::index_sequence<I...>) {
        return Native(a[I]...);
    }(std::make_index_sequence<n>{}));
}

}  // namespace gk
