// geokern mesh: uninitialised working arrays of the mesh kernels.
//
// Arrays come from the heap, so that the allocator may hand the memory of
// one call to the next, and large ones are advised for huge pages
// (huge_pages.hpp).  Nothing is written at allocation, so each page is
// faulted in by the thread that first writes it.
#pragma once

#include "core/huge_pages.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace gk::mesh {

template <class T>
class WorkArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkArray() = default;
    // Throws std::bad_alloc.
    explicit WorkArray(std::size_t n) : data_(std::make_unique_for_overwrite<T[]>(n)), size_(n) {
        advise_huge_pages(data_.get(), n * sizeof(T));
    }

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace gk::mesh
