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

// Faults in the pages of [data, data + bytes) for writing, in one system
// call, before an array that will be written whole is written in an order
// of its own.  A page faulted in by a write costs an exception each; on
// virtual machines that is far more than the kernel's own population
// (measured here once: 12 us against 0.8 us per 4 KiB page).  Only a
// request: on kernels without it (before Linux 5.14) nothing happens, and
// the writes fault the pages in as before.  The pages' contents stay as
// they are.
inline void populate_for_writing(void* data, std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
    if (bytes == 0) return;
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(data) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace gk::mesh
