// geokern core: transparent huge pages for large working memory.
//
// The first write into fresh memory costs a page fault per page.  Large
// arrays are advised for 2 MiB pages, as numpy does for its own large
// arrays: on this project's virtual machines one 4 KiB fault costs about
// 16 us, so a 10 MB buffer written once on 4 KiB pages spends about 40 ms
// in the kernel, against about 2.5 ms on 2 MiB pages.  The advice is only
// advice: without huge pages the memory works the same.  Advise memory
// before its first write; what is already faulted in stays as it is.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace gk {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Below this size an array is left to ordinary pages.
inline constexpr std::size_t kHugePagesFrom = std::size_t{4} << 20;

// Advises the whole 2 MiB pages inside [data, data + bytes) for huge pages.
inline void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    if (bytes < kHugePagesFrom) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// An allocator for std::vector buffers that grow large: from
// kHugePagesFrom on, buffers start on a 2 MiB boundary and end on one, so
// that all of their pages can be huge (advice covers whole huge pages
// only, and a 10 MB buffer placed anywhere has on average 2 MB of ordinary
// pages at its ends).  Smaller ones come from the plain heap.
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
        advise_huge_pages(data, whole);
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
