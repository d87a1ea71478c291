// geokern_tools._native: buffer objects over memory that native code
// filled, handed to Python without a copy.
//
// owned_buffer(items) moves a vector into a new object that exports its
// elements as one writable, C-contiguous block of unsigned bytes (the
// buffer protocol), so that numpy.frombuffer(obj, dtype) views them in
// place; the memory is freed when the last user lets go.  Copying a large
// result into a bytes object would cost a pass over it and a fault per
// fresh 4 KiB page, where the vector's own memory (huge_pages.hpp) is
// already resident.
#pragma once

#include "module/python.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace gk::tools {

// What an owned buffer keeps: some memory and its size.
class BufferHolder {
public:
    virtual ~BufferHolder() = default;
    virtual void* data() noexcept = 0;
    virtual std::size_t bytes() const noexcept = 0;
};

// A new owned buffer object over `holder`'s memory, or nullptr with an
// exception set (the holder is then freed).
PyObject* owned_buffer(std::unique_ptr<BufferHolder> holder);

template <class Vector>
PyObject* owned_buffer(Vector&& items) {
    struct Holder final : BufferHolder {
        explicit Holder(Vector&& v) : items(std::move(v)) {}
        void* data() noexcept override { return items.data(); }
        std::size_t bytes() const noexcept override {
            return items.size() * sizeof(typename Vector::value_type);
        }
        Vector items;
    };
    std::unique_ptr<BufferHolder> holder;
    try {
        holder = std::make_unique<Holder>(std::move(items));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return owned_buffer(std::move(holder));
}

// Ready the type; called by the exec step.  0, or -1 with an exception set.
int init_owned_buffer_type();

}  // namespace gk::tools
