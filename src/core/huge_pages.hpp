// geokern core: fresh memory on huge pages, and faulted in at once.
//
// The first write into fresh memory costs a page fault per page, and on
// virtual machines a fault is dear (bench/measurements.md), so a 2 MiB page
// saves the faults of 512 small ones.  Arrays of kHugePagesFrom bytes or
// more therefore start on a 2 MiB boundary, are rounded up to whole 2 MiB
// pages and are advised for transparent huge pages; numpy advises only the
// middle of its large arrays, so that their unaligned ends, and arrays
// below 4 MiB, are still faulted in 4 KiB at a time.  All of it is advice:
// without huge pages the memory works the same.  Nothing is written at
// allocation, so a page that is never written never becomes resident.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace gk {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// From this size on, allocations start and end on huge page boundaries.
inline constexpr std::size_t kHugePagesFrom = std::size_t{1} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes) for huge pages
// (memory allocated elsewhere; call it before the memory is written).
inline void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Faults in the pages of [data, data + bytes) for writing, in one system
// call, before memory that will be written whole is written in an order of
// its own.  A page faulted in by a write costs an exception each; on
// virtual machines that is far more than the kernel's own population of
// the same page.  Only a request: on kernels without it (before Linux 5.14) nothing happens, and
// the writes fault the pages in as before.  The contents stay as they are.
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

// numpy advises its arrays of this size and more for huge pages.
inline constexpr std::size_t kNumpyHugePagesFrom = std::size_t{4} << 20;

// Populates (populate_for_writing) the pages of [data, data + bytes) that
// are not whole huge pages of memory advised for them: all of them when
// `bytes` is below `advised_from`, else the two ends outside the whole
// 2 MiB pages inside.  For fresh memory that is written whole afterwards,
// maybe by several threads: the huge pages in the middle are faulted in by
// the threads that write them, side by side, which is faster than
// populating them all on one thread.
inline void populate_small_pages(void* data, std::size_t bytes, std::size_t advised_from) noexcept {
    if (bytes < advised_from) {
        populate_for_writing(data, bytes);
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (first >= last) {
        populate_for_writing(data, bytes);
        return;
    }
    populate_for_writing(data, first - begin);
    populate_for_writing(reinterpret_cast<void*>(last), begin + bytes - last);
}

// The standard allocator's interface over memory placed as above (for
// std::vector buffers and working arrays that grow large).
template <class T>
struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > (static_cast<std::size_t>(-1) - kHugePage) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePagesFrom) return static_cast<T*>(::operator new(bytes));
        const std::size_t whole = rounded(bytes);
        void* data = ::operator new(whole, std::align_val_t{kHugePage});
        madvise(data, whole, MADV_HUGEPAGE);
        return static_cast<T*>(data);
    }
    void deallocate(T* data, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePagesFrom) {
            ::operator delete(data, bytes);
        } else {
            ::operator delete(data, rounded(bytes), std::align_val_t{kHugePage});
        }
    }
    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }

private:
    static std::size_t rounded(std::size_t bytes) noexcept {
        return (bytes + kHugePage - 1) & ~(kHugePage - 1);
    }
};

}  // namespace gk
