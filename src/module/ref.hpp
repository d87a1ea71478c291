// geokern module layer: an owning Python reference.
#pragma once

#include "module/python.hpp"

#include <utility>

namespace gk {

// Owns one strong reference; drops it when it goes out of scope.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace gk
