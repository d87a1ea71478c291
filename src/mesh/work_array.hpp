// geokern mesh: uninitialised working arrays of the mesh kernels.
//
// A large array is mapped on its own, aligned to 2 MiB and advised for
// transparent huge pages, as numpy does for its large arrays: the first
// write into fresh memory then costs one page fault per 2 MiB instead of
// one per 4 KiB, which on virtual machines is most of the time of a pass
// over the array.  Small arrays come from the heap.  Nothing is written at
// allocation, so each page is faulted in by the thread that first writes it.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace gk::mesh {

template <class T>
class WorkArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkArray() = default;
    // Throws std::bad_alloc.
    explicit WorkArray(std::size_t n) : size_(n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMappedFrom) {
            heap_ = std::make_unique_for_overwrite<T[]>(n);
            data_ = heap_.get();
            return;
        }
        mapped_bytes_ = bytes + kHugePage;
        void* map = mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        map_ = static_cast<char*>(map);
        const auto at = (reinterpret_cast<std::uintptr_t>(map_) + kHugePage - 1) & ~(kHugePage - 1);
        data_ = reinterpret_cast<T*>(at);
        // Only advice: without huge pages the array works the same.
        madvise(data_, bytes, MADV_HUGEPAGE);
    }
    WorkArray(WorkArray&& other) noexcept { swap(other); }
    WorkArray& operator=(WorkArray&& other) noexcept {
        WorkArray(std::move(other)).swap(*this);
        return *this;
    }
    ~WorkArray() {
        if (map_) munmap(map_, mapped_bytes_);
    }

    T* get() const noexcept { return data_; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
    static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

    void swap(WorkArray& other) noexcept {
        std::swap(heap_, other.heap_);
        std::swap(map_, other.map_);
        std::swap(mapped_bytes_, other.mapped_bytes_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }

    std::unique_ptr<T[]> heap_;
    char* map_ = nullptr;
    std::size_t mapped_bytes_ = 0;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace gk::mesh
