#pragma once

#include "sanitizers.h"

#include <unistd.h>

#include <cstddef>
#include <fstream>

namespace keyflip::testing_support {

// ThreadSanitizer's own memory grows with every access the program makes, so
// there the process's resident memory says nothing about the program's own.
#if defined(KEYFLIP_UNDER_THREAD_SANITIZER)
inline constexpr bool kResidentMemoryIsTheProgramsOwn = false;
#else
inline constexpr bool kResidentMemoryIsTheProgramsOwn = true;
#endif

// The process's resident memory now, from /proc/self/statm; -1 when it cannot
// be read.
inline long long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long long sizePages = 0;
    long long residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return -1;
    }
    return residentPages * ::sysconf(_SC_PAGESIZE);
}

}  // namespace keyflip::testing_support
