#pragma once

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace keyflip {

#if !defined(_WIN32)
// A fixed array in an anonymous mapping of its own. A page the program never
// touches is never resident, however the heap was used before, so a ring that
// keeps to its first slots keeps only their pages in memory.
template <typename T>
class MappedArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

public:
    explicit MappedArray(std::size_t count) : bytes_(count * sizeof(T)) {
        void* memory =
            ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(memory);
#if defined(MADV_NOHUGEPAGE)
        // One huge page would make the whole array resident at its first
        // touch; a kernel without them refuses, which changes nothing.
        static_cast<void>(::madvise(memory, bytes_, MADV_NOHUGEPAGE));
#endif
    }
    ~MappedArray() {
        ::munmap(data_, bytes_);
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;

    // Hands the pages of elements from..to (to excluded; a page shared with an
    // element before from is kept) back to the system: they read as zeros and
    // take no memory until written again. Only for elements no other thread
    // can be reading or writing.
    void giveBack(std::size_t from, std::size_t to) noexcept {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t begin = (from * sizeof(T) + page - 1) / page * page;
        const std::size_t end = std::min((to * sizeof(T) + page - 1) / page * page, bytes_);
        if (begin >= end) {
            return;
        }
        char* const first = reinterpret_cast<char*>(data_) + begin;
#if defined(__linux__)
        static_cast<void>(::madvise(first, end - begin, MADV_DONTNEED));
#else
        // Elsewhere MADV_DONTNEED need not zero the pages; fresh ones mapped
        // over them are zero.
        static_cast<void>(::mmap(first, end - begin, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0));
#endif
    }

    T& operator[](std::size_t index) noexcept {
        return data_[index];
    }
    const T& operator[](std::size_t index) const noexcept {
        return data_[index];
    }

private:
    std::size_t bytes_;
    T* data_ = nullptr;
};
#endif

// A fixed array from the heap, zeroed as it is allocated: where there is no
// mmap. calloc asks the system for zeroed pages where it can, so most of it
// is still not resident until touched; what giveBack hands back is zeroed.
template <typename T>
class HeapArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

public:
    explicit HeapArray(std::size_t count)
        : count_(count), data_(static_cast<T*>(std::calloc(count, sizeof(T)))) {
        if (!data_) {
            throw std::bad_alloc();
        }
    }

    // Zeroes elements from..to (to excluded).
    void giveBack(std::size_t from, std::size_t to) noexcept {
        std::fill(data_.get() + std::min(from, count_), data_.get() + std::min(to, count_), T{});
    }

    T& operator[](std::size_t index) noexcept { return data_.get()[index]; }
    const T& operator[](std::size_t index) const noexcept { return data_.get()[index]; }

private:
    struct Free {
        void operator()(T* memory) const noexcept { std::free(memory); }
    };

    std::size_t count_;
    std::unique_ptr<T, Free> data_;
};

// What the rings are made of: KEYFLIP_PAGES_ON_HEAP chooses the heap where
// there is mmap too, so it is built and tested on Linux.
#if defined(_WIN32) || defined(KEYFLIP_PAGES_ON_HEAP)
template <typename T>
using PageBackedArray = HeapArray<T>;
#else
template <typename T>
using PageBackedArray = MappedArray<T>;
#endif

}  // namespace keyflip
