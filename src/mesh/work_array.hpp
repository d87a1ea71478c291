// geokern mesh: uninitialised working arrays of the mesh kernels.
//
// Arrays come from the heap, so that the allocator may hand the memory of
// one call to the next.  Arrays of kHugeFrom bytes or more start on a
// 2 MiB boundary, are rounded up to whole 2 MiB pages and are advised for
// transparent huge pages: the first write into fresh memory then costs one
// page fault per 2 MiB instead of one per 4 KiB, which on virtual machines
// is most of the time of a pass over the array.  Without the rounding the
// unaligned head and tail of every array, up to 4 MiB of it, would still
// be faulted in 4 KiB at a time.  Nothing is written at allocation, so a
// page that is never written (the unused end of an array sized for the
// worst case) never becomes resident.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace gk::mesh {

template <class T>
class WorkArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkArray() = default;
    // Throws std::bad_alloc.
    explicit WorkArray(std::size_t n) : size_(n) {
        if (n > SIZE_MAX / sizeof(T) - kHugePage) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeFrom) {
            data_.reset(static_cast<T*>(std::malloc(bytes == 0 ? 1 : bytes)));
            if (!data_) throw std::bad_alloc();
            return;
        }
        const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        data_.reset(static_cast<T*>(std::aligned_alloc(kHugePage, rounded)));
        if (!data_) throw std::bad_alloc();
        // Only advice: without huge pages the array works the same.
        madvise(data_.get(), rounded, MADV_HUGEPAGE);
    }

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

    // Returns the memory now rather than at destruction.
    void release() noexcept {
        data_.reset();
        size_ = 0;
    }

private:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace gk::mesh
