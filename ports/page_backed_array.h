#pragma once

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace keyflip {

// Written, not read: a read maps a shared zero page, and the first write
// would still fault. 4 KiB steps reach every page of any page size.
inline void touchEveryPage(void* memory, std::size_t bytes) {
    auto* const bytesOf = static_cast<volatile unsigned char*>(memory);
    for (std::size_t offset = 0; offset < bytes; offset += 4096) {
        bytesOf[offset] = 0;
    }
}

#if !defined(_WIN32)
// A fixed array in an anonymous mapping of its own, resident from the start:
// every page is written once and locked in memory where RLIMIT_MEMLOCK
// allows, as JACK clients lock what their process callback touches. A thread
// that writes into it later never takes a page fault, which would stall a
// real-time thread and may wait behind another thread's changes to the
// memory map; and since a locked page cannot be given back, none ever is.
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
        // A huge page would put more in memory than the array needs; a kernel
        // without them refuses, which changes nothing.
        static_cast<void>(::madvise(memory, bytes_, MADV_NOHUGEPAGE));
#endif
        touchEveryPage(memory, bytes_);
        locked_ = ::mlock(memory, bytes_) == 0;
    }
    ~MappedArray() {
        ::munmap(data_, bytes_);
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;

    // Whether the pages are locked; else they are resident until the system
    // runs short of memory.
    bool locked() const noexcept {
        return locked_;
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
    bool locked_ = false;
};
#endif

// A fixed array from the heap, zeroed as it is allocated and every page
// written once: where there is no mmap.
template <typename T>
class HeapArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

public:
    explicit HeapArray(std::size_t count) : data_(static_cast<T*>(std::calloc(count, sizeof(T)))) {
        if (!data_) {
            throw std::bad_alloc();
        }
        touchEveryPage(data_.get(), count * sizeof(T));
    }

    T& operator[](std::size_t index) noexcept { return data_.get()[index]; }
    const T& operator[](std::size_t index) const noexcept { return data_.get()[index]; }

private:
    struct Free {
        void operator()(T* memory) const noexcept { std::free(memory); }
    };

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
