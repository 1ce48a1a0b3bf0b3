#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>

namespace keyflip {

// A fixed array in an anonymous mapping of its own. A page the program never
// touches is never resident, however the heap was used before, so a ring that
// keeps to its first slots keeps only their pages in memory.
template <typename T>
class PageBackedArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

public:
    explicit PageBackedArray(std::size_t count) : bytes_(count * sizeof(T)) {
        void* memory =
            ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(memory);
        // One huge page would make the whole array resident at its first
        // touch; a kernel without them refuses, which changes nothing.
        static_cast<void>(::madvise(memory, bytes_, MADV_NOHUGEPAGE));
    }
    ~PageBackedArray() { ::munmap(data_, bytes_); }
    PageBackedArray(const PageBackedArray&) = delete;
    PageBackedArray& operator=(const PageBackedArray&) = delete;

    // Hands the pages of elements from..to (to excluded; a page shared with an
    // element before from is kept) back to the system: they read as zeros and
    // take no memory until written again. Only for elements no other thread
    // can be reading or writing.
    void giveBack(std::size_t from, std::size_t to) noexcept {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t begin = (from * sizeof(T) + page - 1) / page * page;
        const std::size_t end = std::min((to * sizeof(T) + page - 1) / page * page, bytes_);
        if (begin < end) {
            static_cast<void>(
                ::madvise(reinterpret_cast<char*>(data_) + begin, end - begin, MADV_DONTNEED));
        }
    }

    T& operator[](std::size_t index) noexcept { return data_[index]; }
    const T& operator[](std::size_t index) const noexcept { return data_[index]; }

private:
    std::size_t bytes_;
    T* data_ = nullptr;
};

}  // namespace keyflip
