// geokern mesh: uninitialised working arrays of the mesh kernels.
//
// Arrays come from the heap, so that the allocator may hand the memory of
// one call to the next, and large ones are advised for transparent huge
// pages, as numpy does for its large arrays: the first write into fresh
// memory then costs one page fault per 2 MiB instead of one per 4 KiB,
// which on virtual machines is most of the time of a pass over the array.
// Nothing is written at allocation, so each page is faulted in by the
// thread that first writes it.
#pragma once

#include <sys/mman.h>

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
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kAdvisedFrom) return;
        // The whole huge pages inside the array; only advice: without huge
        // pages the array works the same.
        const auto begin = reinterpret_cast<std::uintptr_t>(data_.get());
        const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
        const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
        if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t kAdvisedFrom = std::size_t{4} << 20;
    static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace gk::mesh
