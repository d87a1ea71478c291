// geokern mesh: uninitialised working arrays of the mesh kernels.
//
// Arrays come from the heap, so that the allocator may hand the memory of
// one call to the next; large ones sit on whole huge pages
// (huge_pages.hpp).  Nothing is written at allocation, so a page that is
// never written (the unused end of an array sized for the worst case)
// never becomes resident.
#pragma once

#include "core/huge_pages.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>

namespace gk::mesh {

template <class T>
class WorkArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkArray() = default;
    // Throws std::bad_alloc.
    explicit WorkArray(std::size_t n)
        : data_(HugePageAllocator<T>().allocate(n), Free{n}), size_(n) {}

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

    // Returns the memory now rather than at destruction.
    void release() noexcept {
        data_.reset();
        size_ = 0;
    }

private:
    struct Free {
        std::size_t n = 0;
        void operator()(T* p) const noexcept { HugePageAllocator<T>().deallocate(p, n); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace gk::mesh
