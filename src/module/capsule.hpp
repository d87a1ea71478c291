// geokern module layer: one native function published in __pyx_capi__.
//
// A capsule holds the function's address and is named by its C signature
// text, so another extension module can fetch the pointer and check the
// signature.  The text is spelt out from the C++ function type at compile
// time: PyObject * for objects, "double const " for every double, bool,
// and __Pyx_memviewslice for an ArrayViewSlice passed by value.
#pragma once

#include "module/python.hpp"
#include "module/view.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace gk {

struct CapsuleSpec {
    const char* name = nullptr;       // key in __pyx_capi__; nullptr: no capsule
    const char* signature = nullptr;  // the capsule's name
    void* (*address)() = nullptr;     // the function's address
};

namespace capsule_detail {

template <class T>
struct CType;
template <>
struct CType<PyObject*> {
    static constexpr std::string_view text = "PyObject *";
};
template <>
struct CType<double> {
    static constexpr std::string_view text = "double const ";
};
template <>
struct CType<bool> {
    static constexpr std::string_view text = "bool";
};
template <>
struct CType<ArrayViewSlice> {
    static constexpr std::string_view text = "__Pyx_memviewslice";
};

template <class F>
struct Signature;

template <class R, class... Args>
struct Signature<R (*)(Args...)> {
    static constexpr std::size_t kSize = [] {
        std::size_t n = CType<R>::text.size() + 2 + (CType<Args>::text.size() + ... + 0);
        return n + (sizeof...(Args) > 1 ? 2 * (sizeof...(Args) - 1) : 0);
    }();
    // NUL-terminated.
    static constexpr std::array<char, kSize + 1> text = [] {
        std::array<char, kSize + 1> out{};
        std::size_t at = 0;
        auto put = [&](std::string_view s) {
            for (char c : s) out[at++] = c;
        };
        put(CType<R>::text);
        put("(");
        bool first = true;
        ((put(first ? "" : ", "), put(CType<Args>::text), first = false), ...);
        put(")");
        return out;
    }();
};

template <auto Native>
void* address() {
    return reinterpret_cast<void*>(Native);
}

}  // namespace capsule_detail

// The capsule of `Native` under `name`.
template <auto Native>
consteval CapsuleSpec capsule(const char* name) {
    return {name, capsule_detail::Signature<decltype(Native)>::text.data(),
            capsule_detail::address<Native>};
}

// The spelling other modules check.
template <class F>
constexpr std::string_view signature_text = capsule_detail::Signature<F>::text.data();
static_assert(signature_text<PyObject* (*)(double, double)> ==
              "PyObject *(double const , double const )");
static_assert(signature_text<PyObject* (*)(PyObject*)> == "PyObject *(PyObject *)");
static_assert(signature_text<PyObject* (*)(ArrayViewSlice, ArrayViewSlice, bool)> ==
              "PyObject *(__Pyx_memviewslice, __Pyx_memviewslice, bool)");

}  // namespace gk
